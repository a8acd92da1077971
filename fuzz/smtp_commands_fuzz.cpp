// The SMTP command processor fed arbitrary lines through its session interfaces. In
// the data phase the stream is cut into arbitrary blocks, as the socket would deliver
// it. Handlers answer with their defaults, refuse now and then, or ask to close.
#include "fuzz_input.h"
#include "smtp_server/smtp_command_processor.h"

#include <cstdlib>
#include <string>

namespace {

using namespace lumenpost;

class FuzzSession : public SmtpConnection, public SmtpServerHooks {
public:
    explicit FuzzSession(fuzz::FuzzInput& input) : input_(input) {}

    SmtpSession session;
    SmtpCommandProcessor processor{session, *this, *this};
    bool lineMode = true;
    bool disconnecting = false;

    void SendReply(const std::string& text) override {
        // Every reply is one or more whole lines.
        if (!text.ends_with("\r\n")) {
            std::abort();
        }
    }
    bool IsConnected() const override { return !disconnecting; }
    std::string PeerAddr() const override { return "127.0.0.1"; }
    void SetLineMode(bool on) override { lineMode = on; }
    void CloseAfterReply() override {}
    void DisconnectLater() override { disconnecting = true; }
    void PauseReading() override {}
    void ResumeReading() override {}
    void Unread(std::string_view) override {}

    void ReportDebug(TDebugType, const std::string&) override {}
    std::string LookupPeerName(const std::string&, const std::string&) override {
        return "peer.example";
    }
    void RaiseUsername(const std::string&, std::string& answer, bool& shouldClose) override {
        Decide(answer, shouldClose);
    }
    void RaiseMailFrom(const std::string&, std::string& answer) override { Refuse(answer); }
    void RaiseAuthLogin(const std::string&, const std::string&, std::string& answer,
                        bool& shouldClose) override {
        Decide(answer, shouldClose);
    }
    void RaiseVerifyUser(const std::string&, bool& knownUser, std::string& mailAddr) override {
        knownUser = input_.Chance(2);
        mailAddr = "<user@example.org>";
    }
    void RaiseMailTo(const std::string&, std::string& answer) override { Refuse(answer); }
    void RaiseSendDataInit() override {}
    void RaiseSendData(bool, const std::string&) override {}
    void RaiseReset(std::string&) override {}
    void RaiseHelp(const std::string&, std::string&) override {}
    void RaiseUnknownCmd(const std::string&, std::string&) override {}
    void RaiseQuit(std::string&) override {}

private:
    void Refuse(std::string& answer) {
        if (input_.Chance(8)) {
            answer = input_.Chance(2) ? "550 refused" : "";
        }
    }
    void Decide(std::string& answer, bool& shouldClose) {
        Refuse(answer);
        shouldClose = input_.Chance(16);
    }

    fuzz::FuzzInput& input_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    FuzzSession fuzzSession(input);
    while (!input.AtEnd() && !fuzzSession.disconnecting) {
        const std::string_view text = fuzzSession.lineMode ? input.NextLine() : input.NextBlock();
        fuzzSession.processor.Process(std::string(text));
    }
    return 0;
}
