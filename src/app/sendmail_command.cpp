#include "app/sendmail_command.h"

#include "app/headless_console.h"
#include "app/relay_settings_file.h"
#include "app/sendmail_message.h"
#include "app/submission_desk.h"
#include "app/system_services.h"
#include "delivery/ehlo_name.h"
#include "platform/ascii_text.h"
#include "platform/user_name.h"
#include "relay/message_header_reader.h"
#include "smtp_server/mail_address.h"
#include "system/control_channel.h"
#include "system/single_instance.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <sysexits.h>
#include <thread>
#include <unistd.h>

namespace lumenpost {
namespace {

// Spooling and syncing a large message takes the relay a while.
constexpr int kSubmitTimeoutMs = 120000;
// How long another copy may hold the lock without answering on its channel: a relay
// that is starting, or another --sendmail writing into the folder.
constexpr auto kLockPatience = std::chrono::seconds(10);
constexpr auto kLockRetry = std::chrono::milliseconds(100);

int Fail(int status, const std::string& text) {
    ReportErrorOnStderr(QStringLiteral("--sendmail: ") + QString::fromStdString(text));
    return status;
}

int StatusOf(SubmissionRefusal kind) {
    switch (kind) {
    case SubmissionRefusal::address:
        return EX_USAGE;
    case SubmissionRefusal::data:
        return EX_DATAERR;
    case SubmissionRefusal::later:
        break;
    }
    return EX_TEMPFAIL;
}

int StatusOf(ComposeFault fault) {
    switch (fault) {
    case ComposeFault::notText:
    case ComposeFault::tooLarge:
        return EX_DATAERR;
    case ComposeFault::input:
        return EX_IOERR;
    case ComposeFault::none:
    case ComposeFault::local:
        break;
    }
    return EX_TEMPFAIL;
}

// This machine's name in mail: its fully qualified name, else its host name.
std::string MailDomain() {
    const std::string& qualified = MachineQualifiedName();
    return qualified.empty() ? ThisMachineName() : qualified;
}

// Two spellings of one mailbox: the local part as written, the domain in any case.
std::string MailboxKey(const std::string& address) {
    const std::string_view domain = MailboxDomain(address);
    return address.substr(0, address.size() - domain.size()) + LowerAscii(domain);
}

class SendmailCommand {
public:
    SendmailCommand(const SendmailOptions& options, QString executablePath)
        : options_(options), executablePath_(std::move(executablePath)) {}

    int Run();

private:
    std::optional<std::string> TakeSender();
    std::optional<std::string> TakeArguments();
    std::optional<std::string> TakeHeaderRecipients(const ComposedMessage& message);
    void AddRecipient(const std::string& address);
    int Submit(int file);
    int Answered(const ControlReply& reply) const;
    int QueueItself(int file) const;

    const SendmailOptions& options_;
    QString executablePath_;
    std::int64_t maxSize_ = 0;
    SubmissionEnvelope envelope_;
};

int SendmailCommand::Run() {
    std::optional<std::string> problem = TakeSender();
    if (!problem) {
        problem = TakeArguments();
    }
    if (problem) {
        return Fail(EX_USAGE, *problem);
    }
    if (!options_.recipientsFromHeader && envelope_.recipients.empty()) {
        return Fail(EX_USAGE, "no recipient given; name them after the options, or give -t to "
                              "take them from the To, Cc and Bcc fields");
    }
    maxSize_ =
        RelaySettingsFile(ConfigHome() + u'/' + SettingsFileName(executablePath_)).Read().maxsize;
    const ComposedMessage message =
        ComposeMessage(STDIN_FILENO, {options_.dotEnds, maxSize_, MailDomain()});
    if (message.fault != ComposeFault::none) {
        return Fail(StatusOf(message.fault), message.error);
    }
    if (auto problem = TakeHeaderRecipients(message)) {
        return Fail(EX_USAGE, *problem);
    }
    return Submit(message.file.Get());
}

// -f as given; otherwise <login name>@<this machine's name>.
std::optional<std::string> SendmailCommand::TakeSender() {
    if (options_.sender) {
        envelope_.sender = *options_.sender;
        return std::nullopt;
    }
    const auto uid = static_cast<std::uint32_t>(::getuid());
    const std::optional<std::string> user = UserName(uid);
    if (!user) {
        return "this user (uid " + std::to_string(uid) +
               ") has no name in the user database; give the sender with -f";
    }
    envelope_.sender = *user + '@' + MailDomain();
    return std::nullopt;
}

// Each argument is an address list: "a@b.example, Joe <c@d.example>" names two.
std::optional<std::string> SendmailCommand::TakeArguments() {
    for (const std::string& argument : options_.recipients) {
        const AddressList list = ParseAddressList(argument);
        if (!list.unreadable.empty()) {
            return "the recipient argument '" + list.unreadable.front() +
                   "' holds no address (local-part@domain); correct it";
        }
        std::for_each(list.addresses.begin(), list.addresses.end(),
                      [this](const std::string& address) { AddRecipient(address); });
    }
    return EnvelopeProblem(envelope_);
}

std::optional<std::string> SendmailCommand::TakeHeaderRecipients(const ComposedMessage& message) {
    if (!options_.recipientsFromHeader) {
        return std::nullopt;
    }
    if (!message.unreadable.empty()) {
        return "the header field '" + message.unreadable.front() +
               "' holds an entry that is no address; correct it";
    }
    std::for_each(message.headerRecipients.begin(), message.headerRecipients.end(),
                  [this](const std::string& address) { AddRecipient(address); });
    if (envelope_.recipients.empty()) {
        return "-t found no recipient in the To, Cc and Bcc fields; add one there or name it "
               "after the options";
    }
    return EnvelopeProblem(envelope_);
}

void SendmailCommand::AddRecipient(const std::string& address) {
    const std::string key = MailboxKey(address);
    const bool known =
        std::any_of(envelope_.recipients.begin(), envelope_.recipients.end(),
                    [&](const std::string& other) { return MailboxKey(other) == key; });
    if (!known) {
        envelope_.recipients.push_back(address);
    }
}

// The lock tells who may write the folder: when it is ours no relay runs, otherwise the
// relay that holds it takes the message.
int SendmailCommand::Submit(int file) {
    const std::string request = FormatSubmitRequest(envelope_);
    if (request.size() > kControlRequestLimit) {
        return Fail(EX_USAGE, "the recipients' addresses take more than " +
                                  std::to_string(kControlRequestLimit) +
                                  " octets; send the message in several runs to fewer of them");
    }
    const QString socketPath = ControlSocketPath(RuntimeDirectory(), executablePath_);
    const auto giveUp = std::chrono::steady_clock::now() + kLockPatience;
    for (;;) {
        TSingleInstance guard;
        if (guard.Check(RuntimeDirectory(), executablePath_)) {
            return QueueItself(file);
        }
        const AskResult asked = AskRunningRelay(socketPath, request, kSubmitTimeoutMs, file);
        if (asked.status == AskStatus::answered) {
            return Answered(asked.reply);
        }
        if (asked.status == AskStatus::failed) {
            return Fail(EX_TEMPFAIL, asked.error);
        }
        if (!guard.HeldElsewhere()) {
            return Fail(EX_TEMPFAIL, guard.Error().toStdString() + "; the message was not queued");
        }
        if (std::chrono::steady_clock::now() >= giveUp) {
            return Fail(EX_TEMPFAIL, "another copy holds the lock but does not answer on its "
                                     "channel; try again in a moment");
        }
        std::this_thread::sleep_for(kLockRetry);
    }
}

int SendmailCommand::Answered(const ControlReply& reply) const {
    if (reply.ok) {
        return EX_OK;
    }
    const auto [kind, text] = ReadRefusal(reply.text);
    return Fail(StatusOf(kind), text);
}

// The same steps as the relay's, so that its next start finds the message as its own.
int SendmailCommand::QueueItself(int file) const {
    const QueueFolder folder(QueueFolder::DefaultPath());
    const auto cannot = [&](const std::string& error) {
        return Fail(EX_TEMPFAIL, "cannot queue the message: " + error + "; make the queue folder " +
                                     folder.Path() + " writable for this user, then send again");
    };
    if (auto error = folder.Prepare()) {
        return cannot(*error);
    }
    const auto uid = static_cast<std::uint32_t>(::getuid());
    const SubmissionSource source{UserName(uid).value_or("unknown"), uid, ThisMachineName(),
                                  maxSize_, UnixNow()};
    SpooledSubmission spooled = SpoolSubmission(folder, envelope_, file, source);
    if (!spooled.spool) {
        const SubmissionRefusal kind = RefusalOf(spooled.fault);
        return kind == SubmissionRefusal::later ? cannot(spooled.error)
                                                : Fail(StatusOf(kind), spooled.error);
    }
    if (auto error = spooled.spool->Commit(spooled.envelope)) {
        return cannot(*error);
    }
    return EX_OK;
}

} // namespace

int RunSendmailCommand(int argc, char** argv, const SendmailOptions& options) {
    const QCoreApplication app(argc, argv);
    return SendmailCommand(options, QCoreApplication::applicationFilePath()).Run();
}

} // namespace lumenpost
