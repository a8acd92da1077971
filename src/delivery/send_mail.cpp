#include "delivery/send_mail.h"

#include "delivery/mail_date.h"
#include "delivery/smtp_sender.h"
#include "delivery/text_helpers.h"

namespace lumenpost {

namespace {

// Octets of the message as lines with CR LF, before dot-stuffing and the end line.
std::int64_t MessageSize(const std::vector<std::string>& lines) {
    std::int64_t size = 0;
    for (const std::string& line : lines) {
        size += static_cast<std::int64_t>(line.size()) + 2;
    }
    return size;
}

// RCPT TO for every address of the list until one is refused. An empty address is
// skipped; a list whose first token is empty therefore sends none and fails.
bool SendRecipients(TSmtpSender& smtp, std::string recipients) {
    bool accepted = false;
    do {
        const std::string address = ExtractAddress(TakeToken(recipients, ","));
        if (!address.empty()) {
            accepted = smtp.SendRcptTo(address);
        }
    } while (accepted && !recipients.empty());
    return accepted;
}

bool RunTransaction(TSmtpSender& smtp, const std::string& sender, const std::string& recipients,
                    const std::vector<std::string>& lines) {
    return smtp.SendMailFrom(ExtractAddress(sender), MessageSize(lines)) &&
           SendRecipients(smtp, recipients) && smtp.SendData(lines);
}

} // namespace

bool SendMailLines(const std::string& sender, const std::string& recipients,
                   const std::string& server, const std::vector<std::string>& lines,
                   const std::string& user, const std::string& password) {
    TSmtpSender smtp;
    smtp.SetServer(server);
    smtp.LoginUser = user;
    smtp.LoginPassword = password;
    if (!smtp.Start()) {
        return false;
    }
    const bool delivered = RunTransaction(smtp, sender, recipients, lines);
    smtp.Finish();
    return delivered;
}

bool SendMailWithHeaders(const std::string& sender, const std::string& recipient,
                         const std::string& subject, const std::string& server,
                         const std::vector<std::string>& lines, const std::string& user,
                         const std::string& password) {
    std::vector<std::string> message = {"from: " + sender, "to: " + recipient,
                                        "date: " + MailDateTimeNow(), "subject: " + subject, ""};
    message.insert(message.end(), lines.begin(), lines.end());
    return SendMailLines(sender, recipient, server, message, user, password);
}

} // namespace lumenpost
