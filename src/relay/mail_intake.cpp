#include "relay/mail_intake.h"

#include "relay/relay_core.h"

namespace lumenpost {

void MailIntake::MailFrom(SessionKey session, const std::string& address) {
    SessionMessage& message = sessions_[session];
    message.sender = address;
    message.recipients.clear();
    message.transactionDone = false;
    message.lines.Finish(); // nothing of an unfinished message is kept
}

void MailIntake::MailTo(SessionKey session, const std::string& address) {
    SessionMessage& message = sessions_[session];
    if (message.transactionDone) {
        message.recipients.clear();
        message.transactionDone = false;
    }
    message.recipients.push_back(address);
}

void MailIntake::Reset(SessionKey session) {
    if (auto found = sessions_.find(session); found != sessions_.end()) {
        found->second.transactionDone = true;
    }
}

std::vector<RelayJob> MailIntake::SendData(SessionKey session, bool lastPart,
                                           const std::string& msg) {
    SessionMessage& message = sessions_[session];
    message.lines.AddBlock(msg);
    if (!lastPart) {
        return {};
    }
    MailLineList lines = message.lines.Finish();
    std::vector<RelayJob> jobs;
    for (std::size_t i = 0; i < message.recipients.size(); ++i) {
        // The last job takes the lines themselves: a large message is held once, not twice.
        const bool last = i + 1 == message.recipients.size();
        jobs.push_back(
            RelayJob{message.sender, message.recipients[i], last ? std::move(lines) : lines});
    }
    // The server keeps the recipients for another DATA; a new RCPT starts a new list.
    message.transactionDone = true;
    return jobs;
}

void MailIntake::SessionEnded(SessionKey session) {
    sessions_.erase(session);
}

void ShowReceiving(RelayCore& core) {
    core.SetStatus(QStringLiteral("正在接收并转发邮件..."));
    if (core.okrelay().size() > kLogLineLimit) {
        core.ClearRelayed();
    }
    if (core.badrelay().size() > kLogLineLimit) {
        core.ClearFailed();
    }
}

} // namespace lumenpost
