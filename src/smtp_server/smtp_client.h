#pragma once

#include "net_events/socket_server.h"
#include "smtp_server/smtp_session.h"

#include <QTimer>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace lumenpost {

class TSmtpServer;
class SmtpSessionLink;
class SmtpCommandProcessor;

// One accepted SMTP connection: a line-capable socket client that carries the session
// fields, driven by its server's command processor.
class TSmtpClient : public TSocketClient, public SmtpSession {
public:
    TSmtpClient();
    ~TSmtpClient() override;

    TSmtpServer* SmtpOwner = nullptr;

    // Prepares a newly accepted connection for the dialogue, before the greeting.
    // `id` names the session for a late answer; no two sessions of a server share one.
    void StartSession(TSmtpServer& owner, std::uint64_t id);
    std::uint64_t SessionId() const { return mSessionId; }
    // The deferred reply to the end of data.
    void AnswerDataEnd(const std::string& answer);

private:
    void ReceiveCommand(std::uint16_t error);
    // The pause before a command: the line waits here, and the session reads nothing
    // more, until the timer ends it; other sessions go on meanwhile.
    void HoldLine(std::string line, int delayMs);
    void ReleaseHeldLine();

    std::unique_ptr<SmtpSessionLink> mLink;
    std::unique_ptr<SmtpCommandProcessor> mProcessor;
    std::uint64_t mSessionId = 0;
    QTimer mPause;
    std::optional<std::string> mHeldLine;
};

} // namespace lumenpost
