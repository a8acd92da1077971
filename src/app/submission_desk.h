#pragma once

#include "queue/queue_folder.h"
#include "relay/local_submission.h"
#include "system/control_channel.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace lumenpost {

class MailIntake;
class RelayQueue;

// How a refused message is answered over the channel: "ERROR", then its kind and what
// went wrong and what to do ("data: the message is larger than ..."). An accepted one is
// answered "OK" with its queue id.
enum class SubmissionRefusal {
    address, // an address is no mailbox
    data,    // the message cannot be taken as it is
    later    // the queue failed: try again later
};
ControlReply RefusedReply(SubmissionRefusal kind, const std::string& text);
// The kind and text of an ERROR reply's text; `later` for a text without a kind (a relay
// that does not take messages says "unknown queue command").
std::pair<SubmissionRefusal, std::string> ReadRefusal(const std::string& text);
SubmissionRefusal RefusalOf(SubmissionFault fault);

// What is wrong with the envelope's addresses (RFC 5321 mailboxes, UTF-8 allowed; the
// sender may be empty), or nothing.
std::optional<std::string> EnvelopeProblem(const SubmissionEnvelope& envelope);

// Takes the messages that programs of this machine hand to the running relay over its
// channel into the queue: checked, spooled and made durable as SMTP mail is, answered
// with the queue id once durable, then delivered like any message. Lives on the UI
// thread, like the intake and the queue it feeds.
class SubmissionDesk {
public:
    using MaxSize = std::function<std::int64_t()>;
    using Clock = std::function<std::int64_t()>; // Unix seconds

    SubmissionDesk(QueueFolder folder, MailIntake& intake, RelayQueue& queue, MaxSize maxSize,
                   std::string machineName, Clock now);

    // A SUBMIT request with the message's file (ControlServer's file handler).
    void Take(ControlFileRequest request, const ControlServer::Answer& answer);

private:
    QueueFolder folder_;
    MailIntake& intake_;
    RelayQueue& queue_;
    MaxSize maxSize_;
    std::string machineName_;
    Clock now_;
};

} // namespace lumenpost
