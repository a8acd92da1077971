#include "app/submission_desk.h"

#include "platform/user_name.h"
#include "relay/mail_intake.h"
#include "relay/relay_queue.h"
#include "smtp_server/mail_address.h"

#include <array>

namespace lumenpost {
namespace {

// In the order of the enumerators.
constexpr std::array<std::pair<SubmissionRefusal, std::string_view>, 3> kKinds{{
    {SubmissionRefusal::address, "address: "},
    {SubmissionRefusal::data, "data: "},
    {SubmissionRefusal::later, "later: "},
}};

std::string AddressProblem(const char* role, const std::string& address) {
    return "the " + std::string(role) + " address '" + address +
           "' is no valid mailbox (local-part@domain as RFC 5321 writes it: no blanks "
           "outside quotes, at most 64 octets before the @ and 255 after it); correct it";
}

} // namespace

ControlReply RefusedReply(SubmissionRefusal kind, const std::string& text) {
    return {false, std::string(kKinds[static_cast<std::size_t>(kind)].second) + text};
}

std::pair<SubmissionRefusal, std::string> ReadRefusal(const std::string& text) {
    for (const auto& [kind, prefix] : kKinds) {
        if (text.starts_with(prefix)) {
            return {kind, text.substr(prefix.size())};
        }
    }
    return {SubmissionRefusal::later, text};
}

SubmissionRefusal RefusalOf(SubmissionFault fault) {
    switch (fault) {
    case SubmissionFault::tooLarge:
    case SubmissionFault::notText:
    case SubmissionFault::looping:
        return SubmissionRefusal::data;
    case SubmissionFault::none:
    case SubmissionFault::local:
        break;
    }
    return SubmissionRefusal::later;
}

std::optional<std::string> EnvelopeProblem(const SubmissionEnvelope& envelope) {
    if (!envelope.sender.empty() && !IsMailbox(envelope.sender, true)) {
        return AddressProblem("sender", envelope.sender);
    }
    for (const std::string& recipient : envelope.recipients) {
        if (!IsMailbox(recipient, true)) {
            return AddressProblem("recipient", recipient);
        }
    }
    return std::nullopt;
}

SubmissionDesk::SubmissionDesk(QueueFolder folder, MailIntake& intake, RelayQueue& queue,
                               MaxSize maxSize, std::string machineName, Clock now)
    : folder_(std::move(folder)), intake_(intake), queue_(queue), maxSize_(std::move(maxSize)),
      machineName_(std::move(machineName)), now_(std::move(now)) {}

void SubmissionDesk::Take(ControlFileRequest request, const ControlServer::Answer& answer) {
    const std::optional<SubmissionEnvelope> envelope = ParseSubmitRequest(request.line);
    if (!envelope) {
        answer(RefusedReply(SubmissionRefusal::later,
                            "the relay did not understand the request; make sure the running "
                            "relay is the same version as this command (restart it after an "
                            "upgrade)"));
        return;
    }
    if (auto problem = EnvelopeProblem(*envelope)) {
        answer(RefusedReply(SubmissionRefusal::address, *problem));
        return;
    }
    const SubmissionSource source{UserName(request.uid).value_or("unknown"), request.uid,
                                  machineName_, maxSize_(), now_()};
    SpooledSubmission spooled = SpoolSubmission(folder_, *envelope, request.file.Get(), source);
    if (!spooled.spool) {
        answer(RefusedReply(RefusalOf(spooled.fault), spooled.error));
        return;
    }
    // The answer waits until the message is durable, as "250 OK " does for SMTP mail.
    intake_.Commit(std::move(spooled.spool), std::move(spooled.envelope),
                   [this, answer](IntakeResult result) {
                       if (!result.queued) {
                           answer(RefusedReply(SubmissionRefusal::later,
                                               "the message could not be queued (" + result.error +
                                                   "); try again later"));
                           return;
                       }
                       const std::string id = result.queued->id;
                       queue_.Add(std::move(*result.queued));
                       answer({true, id});
                   });
}

} // namespace lumenpost
