#pragma once

#include "smtp_server/smtp_session.h"

#include <cstdint>
#include <string>
#include <string_view>

// The two narrow interfaces through which the command processor reaches the outside world.
// Keeping sockets behind them lets tests and fuzzers feed the processor lines directly.
namespace lumenpost {

// The session's own connection.
class SmtpConnection {
public:
    virtual ~SmtpConnection() = default;

    // Queues one reply; `text` carries its own CR LF. Dropped when no longer connected.
    virtual void SendReply(const std::string& text) = 0;
    virtual bool IsConnected() const = 0;
    virtual std::string PeerAddr() const = 0;
    // Line mode on: one call per command line; off: one call per received block.
    virtual void SetLineMode(bool on) = 0;
    // Ends the connection once the replies sent so far are out, with a normal close (the
    // client reads them, then the end), and frees the session's slot.
    virtual void CloseAfterReply() = 0;
    // Closes the connection once the current event has been handled.
    virtual void DisconnectLater() = 0;
    // Received data waits in the system until reading resumes: a session whose message
    // is still being stored reads nothing.
    virtual void PauseReading() = 0;
    virtual void ResumeReading() = 0;
    // Puts received bytes back in front of what is still unread.
    virtual void Unread(std::string_view bytes) = 0;

protected:
    SmtpConnection() = default;
    SmtpConnection(const SmtpConnection&) = default;
    SmtpConnection& operator=(const SmtpConnection&) = default;
};

// The server that runs the session: its settings, its reports and its application events.
// Each Raise... leaves the by-reference arguments alone when no handler is attached.
class SmtpServerHooks {
public:
    virtual ~SmtpServerHooks() = default;

    virtual void ReportDebug(TDebugType kind, const std::string& text) = 0;
    virtual std::string LookupPeerName(const std::string& peerAddr,
                                       const std::string& heloName) = 0;

    virtual void RaiseUsername(const std::string& username, std::string& answer,
                               bool& shouldClose) = 0;
    virtual void RaiseMailFrom(const std::string& address, std::string& answer) = 0;
    virtual void RaiseAuthLogin(const std::string& username, const std::string& password,
                                std::string& answer, bool& shouldClose) = 0;
    virtual void RaiseVerifyUser(const std::string& user, bool& knownUser,
                                 std::string& mailAddr) = 0;
    virtual void RaiseMailTo(const std::string& address, std::string& answer) = 0;
    virtual void RaiseSendDataInit() = 0;
    virtual void RaiseSendData(bool lastPart, const std::string& msg) = 0;
    virtual void RaiseReset(std::string& answer) = 0;
    virtual void RaiseHelp(const std::string& command, std::string& answer) = 0;
    virtual void RaiseUnknownCmd(const std::string& cmd, std::string& answer) = 0;
    virtual void RaiseQuit(std::string& answer) = 0;

    // The data-phase settings and event. A host that leaves them alone gets the classic
    // behaviour: every message kept in DataBuffer, no size limit, the default final reply.
    virtual bool KeepDataBuffer() const { return true; }
    // Largest message in octets, not counting the end line; 0: no limit.
    virtual std::uint64_t MessageSizeLimit() const { return 0; }
    // Raised once at the end of every data phase, after the last RaiseSendData. A host
    // that sets `deferred` answers later through SmtpCommandProcessor::AnswerDataEnd.
    virtual void RaiseDataEnd(bool /*oversized*/, std::string& /*answer*/, bool& /*deferred*/) {}

protected:
    SmtpServerHooks() = default;
    SmtpServerHooks(const SmtpServerHooks&) = default;
    SmtpServerHooks& operator=(const SmtpServerHooks&) = default;
};

// Sends `text` as one reply line.
inline void SendLine(SmtpConnection& connection, std::string_view text) {
    std::string line(text);
    line += "\r\n";
    connection.SendReply(line);
}

} // namespace lumenpost
