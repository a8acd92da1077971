#include "smtp_server/smtp_session_link.h"

#include "smtp_server/smtp_client.h"
#include "smtp_server/smtp_server.h"

#include <utility>

namespace lumenpost {

SmtpSessionLink::SmtpSessionLink(TSmtpServer& server, TSmtpClient& client)
    : mServer(server), mClient(client) {}

template <typename Event, typename... Args>
void SmtpSessionLink::Raise(const Event& event, Args&&... args) {
    if (event) {
        event(mServer, mClient, std::forward<Args>(args)...);
    }
}

void SmtpSessionLink::SendReply(const std::string& text) {
    mServer.SendReply(mClient, text);
}

bool SmtpSessionLink::IsConnected() const {
    return mClient.State() == TSocketState::wsConnected;
}

std::string SmtpSessionLink::PeerAddr() const {
    return mClient.PeerAddr();
}

void SmtpSessionLink::SetLineMode(bool on) {
    mClient.SetLineMode(on);
}

void SmtpSessionLink::CloseAfterReply() {
    mClient.CloseAfterSending();
}

void SmtpSessionLink::DisconnectLater() {
    mClient.DisconnectLater();
}

void SmtpSessionLink::PauseReading() {
    mClient.PauseEvents();
}

void SmtpSessionLink::ResumeReading() {
    mClient.ResumeEvents();
}

void SmtpSessionLink::Unread(std::string_view bytes) {
    mClient.Unread(bytes);
}

void SmtpSessionLink::ReportDebug(TDebugType kind, const std::string& text) {
    mServer.ReportDebug(mClient, kind, text);
}

std::string SmtpSessionLink::LookupPeerName(const std::string& peerAddr,
                                            const std::string& heloName) {
    return mServer.LookupPeerName(peerAddr, heloName);
}

void SmtpSessionLink::RaiseUsername(const std::string& username, std::string& answer,
                                    bool& shouldClose) {
    Raise(mServer.OnUsername, username, answer, shouldClose);
}

void SmtpSessionLink::RaiseMailFrom(const std::string& address, std::string& answer) {
    Raise(mServer.OnMailFrom, address, answer);
}

void SmtpSessionLink::RaiseAuthLogin(const std::string& username, const std::string& password,
                                     std::string& answer, bool& shouldClose) {
    Raise(mServer.OnAuthLogin, username, password, answer, shouldClose);
}

void SmtpSessionLink::RaiseVerifyUser(const std::string& user, bool& knownUser,
                                      std::string& mailAddr) {
    Raise(mServer.OnVerifyUser, user, knownUser, mailAddr);
}

void SmtpSessionLink::RaiseMailTo(const std::string& address, std::string& answer) {
    Raise(mServer.OnMailTo, address, answer);
}

void SmtpSessionLink::RaiseSendDataInit() {
    Raise(mServer.OnSendDataInit);
}

void SmtpSessionLink::RaiseSendData(bool lastPart, const std::string& msg) {
    Raise(mServer.OnSendData, lastPart, msg);
}

void SmtpSessionLink::RaiseReset(std::string& answer) {
    Raise(mServer.OnReset, answer);
}

void SmtpSessionLink::RaiseHelp(const std::string& command, std::string& answer) {
    Raise(mServer.OnHelp, command, answer);
}

void SmtpSessionLink::RaiseUnknownCmd(const std::string& cmd, std::string& answer) {
    Raise(mServer.OnUnknownCmd, cmd, answer);
}

void SmtpSessionLink::RaiseQuit(std::string& answer) {
    Raise(mServer.OnQuit, answer);
}

bool SmtpSessionLink::KeepDataBuffer() const {
    return mServer.KeepDataBuffer();
}

std::uint64_t SmtpSessionLink::MessageSizeLimit() const {
    const std::int64_t maxSize = mServer.MaxMessageSize();
    return maxSize > 0 ? static_cast<std::uint64_t>(maxSize) : 0;
}

void SmtpSessionLink::RaiseDataEnd(bool oversized, std::string& answer, bool& deferred) {
    if (mServer.OnDataEnd) {
        Raise(mServer.OnDataEnd, oversized, answer, mServer.LateAnswerFor(mClient), deferred);
    }
}

} // namespace lumenpost
