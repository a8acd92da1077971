#pragma once

#include "smtp_server/smtp_session_host.h"

namespace lumenpost {

class TSmtpServer;
class TSmtpClient;

// Connects a session's command processor to its socket and to the events of its server.
class SmtpSessionLink final : public SmtpConnection, public SmtpServerHooks {
public:
    SmtpSessionLink(TSmtpServer& server, TSmtpClient& client);

    void SendReply(const std::string& text) override;
    bool IsConnected() const override;
    std::string PeerAddr() const override;
    void SetLineMode(bool on) override;
    void CloseAfterReply() override;
    void DisconnectLater() override;
    void PauseReading() override;
    void ResumeReading() override;
    void Unread(std::string_view bytes) override;

    void ReportDebug(TDebugType kind, const std::string& text) override;
    std::string LookupPeerName(const std::string& peerAddr, const std::string& heloName) override;

    void RaiseUsername(const std::string& username, std::string& answer,
                       bool& shouldClose) override;
    void RaiseMailFrom(const std::string& address, std::string& answer) override;
    void RaiseAuthLogin(const std::string& username, const std::string& password,
                        std::string& answer, bool& shouldClose) override;
    void RaiseVerifyUser(const std::string& user, bool& knownUser, std::string& mailAddr) override;
    void RaiseMailTo(const std::string& address, std::string& answer) override;
    void RaiseSendDataInit() override;
    void RaiseSendData(bool lastPart, const std::string& msg) override;
    void RaiseReset(std::string& answer) override;
    void RaiseHelp(const std::string& command, std::string& answer) override;
    void RaiseUnknownCmd(const std::string& cmd, std::string& answer) override;
    void RaiseQuit(std::string& answer) override;

    bool KeepDataBuffer() const override;
    std::uint64_t MessageSizeLimit() const override;
    void RaiseDataEnd(bool oversized, std::string& answer, bool& deferred) override;

private:
    // Calls the server's handler in `event` when one is assigned.
    template <typename Event, typename... Args> void Raise(const Event& event, Args&&... args);

    TSmtpServer& mServer;
    TSmtpClient& mClient;
};

} // namespace lumenpost
