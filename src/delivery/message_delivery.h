#pragma once

#include "delivery/message_source.h"

#include <cstdint>
#include <string>

namespace lumenpost {

enum class DeliveryStatus { delivered, temporary, permanent };

// The outcome of one delivery attempt and why, in one line: the exchanger's reply as
// received (code and text), or what failed before a reply ("connection refused by
// 127.0.0.3:25").
struct DeliveryResult {
    DeliveryStatus status = DeliveryStatus::temporary;
    std::string reason;
};

struct DeliveryOptions {
    std::string user; // AUTH only when user or password is set
    std::string password;
    // Each wait for reply data, and for the exchanger to take more message data.
    std::int32_t replyTimeoutMs = 120000;
    // The TCP connect; negative: the system's own connect time-out.
    std::int32_t connectTimeoutMs = 30000;
};

// Delivers `message` to one recipient in one SMTP connection to `server` ("host" or
// "host:port"; port 25 by default). Permanent: a 5xx reply to MAIL, RCPT, DATA or the
// end of data. Temporary: everything else that is not a delivery (4xx replies, no
// connection, no reply in time, a lost connection, a read error of the message).
//
// A reply given as the reason is its code followed by the text of each of its lines,
// joined by blanks ("552 5.3.4 message too big 5.3.4 for this mailbox"); control
// characters become blanks and the reason is cut at delivery_limits::kReasonLength
// octets. `sender` and `recipient` are paths without angle brackets, sent unchanged.
DeliveryResult DeliverMessage(const std::string& sender, const std::string& recipient,
                              const std::string& server, MessageSource& message,
                              const DeliveryOptions& options = {});

} // namespace lumenpost
