#include "relay/mail_intake.h"

#include "delivery/mail_date.h"
#include "platform/ascii_text.h"
#include "relay/relay_core.h"
#include "relay/relay_phrases.h"

namespace lumenpost {
namespace {

// One per session that may end its data at the same moment (the relay serves two).
constexpr int kCommitThreads = 2;

} // namespace

MailIntake::MailIntake(QueueFolder folder, std::string machineName, Clock now)
    : folder_(std::move(folder)), machineName_(std::move(machineName)), now_(std::move(now)),
      answers_(std::make_unique<QObject>()),
      committer_(std::make_unique<SpoolCommitter>(folder_.Path(), kCommitThreads)) {}

// Commits still running finish first; answers they post then find no receiver.
MailIntake::~MailIntake() {
    committer_.reset();
}

void MailIntake::Hello(SessionKey session, const std::string& heloName) {
    // The client's text: control characters would break our header.
    sessions_[session].helo = WithoutControls(heloName);
}

void MailIntake::MailFrom(SessionKey session, const std::string& address) {
    SessionMessage& message = sessions_[session];
    message.sender = address;
    message.recipients.clear();
    message.transactionDone = false;
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

void MailIntake::StartData(SessionKey session, const std::string& peerAddress, bool smtputf8) {
    SessionMessage& message = sessions_[session];
    message.lines.Finish(); // nothing of an unfinished message is kept
    message.hops.Reset();
    message.smtputf8 = smtputf8;
    message.eightBit = false;
    message.spoolError.clear();
    const std::string id = QueueFolder::NewId();
    message.spool = folder_.CreateSpool(id, message.spoolError);
    if (message.spool) {
        Write(message,
              ReceivedLine(message.helo, peerAddress, machineName_, id, MailDateTimeNow()));
    }
}

void MailIntake::SendData(SessionKey session, bool lastPart, const std::string& msg) {
    SessionMessage& message = sessions_[session];
    const std::string text = message.lines.AddBlock(msg);
    message.hops.Add(text);
    Write(message, text);
    if (lastPart) {
        Write(message, message.lines.Finish());
    }
}

void MailIntake::Write(SessionMessage& message, const std::string& text) {
    if (message.spool && !text.empty()) {
        message.spool->Append(text);
        message.eightBit = message.eightBit || !IsAscii(text);
    }
}

void MailIntake::EndData(SessionKey session, bool oversized, Answered answered) {
    SessionMessage& message = sessions_[session];
    message.lines.Finish();
    // The server keeps the recipients for another DATA; a new RCPT starts a new list.
    message.transactionDone = true;
    std::unique_ptr<SpoolFile> spool = std::move(message.spool);
    if (oversized || !spool) {
        Answer(answered, {std::nullopt, oversized ? std::string() : message.spoolError});
        return;
    }
    if (message.hops.Hops() > kMaxHops) {
        Answer(answered, {std::nullopt, {}, true}); // the spool goes, and its file with it
        return;
    }
    Envelope envelope{spool->Id(), now_(), message.sender, message.smtputf8, message.eightBit, {}};
    for (const std::string& recipient : message.recipients) {
        envelope.recipients.push_back(QueuedRecipient::Pending(recipient));
    }
    Commit(std::move(spool), std::move(envelope), std::move(answered));
}

void MailIntake::Commit(std::unique_ptr<SpoolFile> spool, Envelope envelope, Answered answered) {
    committer_->Commit(std::move(spool), envelope,
                       [this, envelope, answered](std::optional<std::string> error) {
                           if (error) {
                               Answer(answered, {std::nullopt, std::move(*error)});
                           } else {
                               Answer(answered, {envelope, {}});
                           }
                       });
}

void MailIntake::Answer(const Answered& answered, IntakeResult result) {
    QMetaObject::invokeMethod(
        answers_.get(),
        [answered, result = std::move(result)]() mutable { answered(std::move(result)); },
        Qt::QueuedConnection);
}

void MailIntake::SessionEnded(SessionKey session) {
    sessions_.erase(session); // an unfinished data file goes with its spool
}

std::string MailIntake::ReceivedLine(const std::string& heloName, const std::string& peerAddress,
                                     const std::string& machineName, const std::string& id,
                                     const std::string& date) {
    return "Received: from " + heloName + " ([" + peerAddress + "])\r\n\tby " + machineName +
           " with SMTP id " + id + ";\r\n\t" + date + "\r\n";
}

void ShowReceiving(RelayCore& core) {
    core.SetStatus(QString::fromUtf8(kStatusReceiving));
    if (core.okrelay().size() > kLogLineLimit) {
        core.ClearRelayed();
    }
    if (core.badrelay().size() > kLogLineLimit) {
        core.ClearFailed();
    }
}

} // namespace lumenpost
