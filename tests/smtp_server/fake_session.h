#pragma once

#include "smtp_server/smtp_command_processor.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace lumenpost::testing_support {

// A session whose connection and server are plain records, so tests feed lines directly.
class FakeSession : public SmtpConnection, public SmtpServerHooks {
public:
    SmtpSession session;
    SmtpCommandProcessor processor{session, *this, *this};

    std::string transcript; // every reply sent, in order
    std::vector<std::string> events;
    std::vector<std::pair<bool, std::string>> dataBlocks; // LastPart, Msg
    std::vector<std::pair<bool, std::string>> dataEnds;   // Oversized, preset Answer
    bool lineMode = true;
    bool connected = true;
    bool closeRequested = false;
    bool disconnectRequested = false;
    bool readingPaused = false;
    bool deferDataEnd = false;
    std::string unread; // bytes the processor put back // RaiseDataEnd defers; the test answers
                        // with AnswerDataEnd
    std::string peerAddr = "127.0.0.1";
    bool keepDataBuffer = true;
    std::uint64_t messageSizeLimit = 0;

    std::function<void(std::string& answer, bool& shouldClose)> onUsername;
    std::function<void(std::string&answer)> onMailFrom, onMailTo, onQuit;
    std::function<void(std::string& answer, bool& shouldClose)> onAuthLogin;
    std::function<void(bool& known, std::string& mailAddr)> onVerifyUser;
    std::function<void(bool oversized, std::string& answer)> onDataEnd;

    // Feeds one line or block (and what it put back) and returns the replies it produced.
    std::string Say(const std::string& text) {
        const std::size_t before = transcript.size();
        processor.Process(text);
        for (std::size_t end;
             lineMode && !readingPaused && (end = unread.find('\n')) != std::string::npos;) {
            const std::string line = unread.substr(0, end + 1);
            unread.erase(0, end + 1);
            processor.Process(line);
        }
        return transcript.substr(before);
    }

    // Logs in with EHLO and returns the reply.
    std::string Ehlo() { return Say("EHLO client.example\r\n"); }

    void SendReply(const std::string& text) override {
        if (connected) {
            transcript += text;
        }
    }
    bool IsConnected() const override { return connected; }
    std::string PeerAddr() const override { return peerAddr; }
    void SetLineMode(bool on) override { lineMode = on; }
    void CloseAfterReply() override { closeRequested = true; }
    void DisconnectLater() override { disconnectRequested = true; }
    void PauseReading() override { readingPaused = true; }
    void ResumeReading() override { readingPaused = false; }
    // Like the socket: bytes put back come again, line by line, once in line mode.
    void Unread(std::string_view bytes) override { unread.insert(0, bytes); }

    void ReportDebug(TDebugType, const std::string&) override {}
    std::string LookupPeerName(const std::string&, const std::string&) override {
        return "peer.example";
    }

    void RaiseUsername(const std::string& name, std::string& answer, bool& close) override {
        Note("Username " + name);
        if (onUsername) {
            onUsername(answer, close);
        }
    }
    void RaiseMailFrom(const std::string& address, std::string& answer) override {
        Note("MailFrom " + address);
        Call(onMailFrom, answer);
    }
    void RaiseAuthLogin(const std::string& user, const std::string& password, std::string& answer,
                        bool& close) override {
        Note("AuthLogin " + user + "/" + password);
        if (onAuthLogin) {
            onAuthLogin(answer, close);
        }
    }
    void RaiseVerifyUser(const std::string& user, bool& known, std::string& mailAddr) override {
        Note("VerifyUser " + user);
        if (onVerifyUser) {
            onVerifyUser(known, mailAddr);
        }
    }
    void RaiseMailTo(const std::string& address, std::string& answer) override {
        Note("MailTo " + address);
        Call(onMailTo, answer);
    }
    void RaiseSendDataInit() override { Note("SendDataInit"); }
    void RaiseSendData(bool lastPart, const std::string& msg) override {
        dataBlocks.emplace_back(lastPart, msg);
    }
    void RaiseReset(std::string&) override { Note("Reset"); }
    void RaiseHelp(const std::string& command, std::string&) override { Note("Help " + command); }
    void RaiseUnknownCmd(const std::string& cmd, std::string&) override {
        Note("UnknownCmd " + cmd);
    }
    void RaiseQuit(std::string& answer) override {
        Note("Quit");
        Call(onQuit, answer);
    }
    bool KeepDataBuffer() const override { return keepDataBuffer; }
    std::uint64_t MessageSizeLimit() const override { return messageSizeLimit; }
    void RaiseDataEnd(bool oversized, std::string& answer, bool& deferred) override {
        deferred = deferDataEnd;
        dataEnds.emplace_back(oversized, answer);
        if (onDataEnd) {
            onDataEnd(oversized, answer);
        }
    }

private:
    void Note(std::string event) { events.push_back(std::move(event)); }
    static void Call(const std::function<void(std::string&)>& handler, std::string& answer) {
        if (handler) {
            handler(answer);
        }
    }
};

} // namespace lumenpost::testing_support
