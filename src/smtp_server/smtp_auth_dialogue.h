#pragma once

#include "smtp_server/smtp_session.h"
#include "smtp_server/smtp_session_host.h"

#include <string>
#include <string_view>

namespace lumenpost {

// The AUTH exchange (mechanisms LOGIN and PLAIN) of one session. It gets every line whose
// verb is AUTH, and every line but QUIT while an exchange waits for the client.
class SmtpAuthDialogue {
public:
    SmtpAuthDialogue(SmtpSession& session, SmtpConnection& connection, SmtpServerHooks& server);

    void Process(const std::string& line);

private:
    void Start(const std::string& line);
    void StartPlain(std::string_view mechanism);
    void TakePlainCredentials(const std::string& line);
    void StoreCredentials(std::string_view decoded);
    void Check();
    void Refuse(std::string answer);
    void Admit(std::string answer);

    SmtpSession& session_;
    SmtpConnection& connection_;
    SmtpServerHooks& server_;
};

} // namespace lumenpost
