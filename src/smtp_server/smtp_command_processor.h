#pragma once

#include "smtp_server/smtp_auth_dialogue.h"
#include "smtp_server/smtp_data_phase.h"
#include "smtp_server/smtp_session.h"
#include "smtp_server/smtp_session_host.h"

#include <string>
#include <string_view>

namespace lumenpost {

// The SMTP dialogue of one session. It takes one received command line (line end included)
// or, in the data phase, one received block, updates the session and answers through the
// connection and server interfaces. It never touches a socket itself.
class SmtpCommandProcessor {
public:
    SmtpCommandProcessor(SmtpSession& session, SmtpConnection& connection, SmtpServerHooks& server);

    void Process(const std::string& text);
    // The reply to the end of data that RaiseDataEnd deferred.
    void AnswerDataEnd(const std::string& answer) { dataPhase_.AnswerLater(answer); }

private:
    using CommandHandler = void (SmtpCommandProcessor::*)(const std::string& line);
    struct CommandRoute {
        std::string_view verb;
        CommandHandler handler;
    };
    static const CommandRoute kCommandRoutes[];

    void ProcessHelo(const std::string& line);
    void ProcessCommand(const std::string& line);

    void RefuseHelo(std::string answer);
    void AcceptHelo(std::string answer);
    void AdvertiseExtensions();
    void Quit();
    void CloseAfterReply();

    void Mail(const std::string& line);
    void Rcpt(const std::string& line);
    std::string MailAnswer(const std::string& line);
    std::string RcptAnswer(const std::string& line);
    void Vrfy(const std::string& line);
    void Data(const std::string& line);
    void Rset(const std::string& line);
    void Noop(const std::string& line);
    void Help(const std::string& line);
    void NotImplemented(const std::string& line);
    void Unknown(const std::string& line);

    void Send(std::string_view text) { SendLine(connection_, text); }

    SmtpSession& session_;
    SmtpConnection& connection_;
    SmtpServerHooks& server_;
    SmtpAuthDialogue auth_;
    SmtpDataPhase dataPhase_;
};

} // namespace lumenpost
