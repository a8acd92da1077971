#pragma once

#include "queue/envelope.h"
#include "queue/queue_folder.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A message that a program of this machine hands to the relay (lumenpost --sendmail):
// the request that carries its envelope over the control channel, and its way into the
// queue, which the running relay and, when none runs, the command itself both take.
namespace lumenpost {

struct SubmissionEnvelope {
    std::string sender; // empty: the null sender
    std::vector<std::string> recipients;

    bool operator==(const SubmissionEnvelope&) const = default;
};

// The request that comes with the message's file: "SUBMIT <sender> <recipient>...", each
// address between angle brackets, its octets outside 33..126 and "+", "<", ">", "=" as
// "+HH" (the xtext of RFC 3461), so that a quoted local part with blanks stays one word.
inline constexpr std::string_view kSubmitVerb = "SUBMIT";
std::string FormatSubmitRequest(const SubmissionEnvelope& envelope);
// Nothing when `request` is not such a request with at least one recipient.
std::optional<SubmissionEnvelope> ParseSubmitRequest(std::string_view request);

// Why a message was not spooled.
enum class SubmissionFault {
    none,
    tooLarge, // larger than the size limit
    notText,  // holds a NUL octet
    looping,  // more Received fields than kMaxHops
    local     // the file or the queue failed: worth another try later
};

struct SubmissionSource {
    std::string userName; // who handed it over, for our Received line
    std::uint32_t uid = 0;
    std::string machineName;
    std::int64_t maxSize = 0; // octets of the message text, without our Received line
    std::int64_t now = 0;     // Unix seconds: the arrival
};

struct SpooledSubmission {
    std::unique_ptr<SpoolFile> spool; // the whole text, not yet committed
    Envelope envelope;                // to commit it with
    SubmissionFault fault = SubmissionFault::none;
    std::string error; // when not spooled: what went wrong and what to do
};

// Copies the message in `file` (a sealed memory file, so that reading it can neither
// block nor see it change) into a new data file of `folder` after our Received line, as
// the SMTP intake does: every line ended by CR LF, the size limit kept, the hops counted,
// eight-bit text and addresses noted. Nothing is durable until the spool is committed;
// a fault leaves nothing behind.
SpooledSubmission SpoolSubmission(const QueueFolder& folder, const SubmissionEnvelope& envelope,
                                  int file, const SubmissionSource& source);

// Our trace line for a message handed over by a local user.
std::string LocalReceivedLine(const SubmissionSource& source, const std::string& id,
                              const std::string& date);

} // namespace lumenpost
