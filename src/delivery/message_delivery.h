#pragma once

#include "delivery/exchanger_route.h"
#include "delivery/message_source.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumenpost {

enum class DeliveryStatus { delivered, temporary, permanent };

// The outcome of one delivery attempt for one recipient and why, in one line: the
// exchanger's reply as received (code and text), or what failed before a reply
// ("connection refused by 127.0.0.3:25").
struct DeliveryResult {
    DeliveryStatus status = DeliveryStatus::temporary;
    std::string reason;
};

// Outbound encryption: never; STARTTLS when offered, in clear when it fails (no
// certificate check); never in clear.
enum class TlsPolicy { none, may, encrypt };

// Delivery to a relay host that the user logs in to: TLS is required (from the start, or
// STARTTLS) and the certificate verified against the trusted CAs and the host's name
// before AUTH; no password ever crosses a clear or unverified connection.
struct SubmissionTls {
    bool implicit = false; // TLS from the first octet (port 465)
    std::string caFile;    // PEM certificates trusted beside the system's; empty: none
};

struct DeliveryOptions {
    std::string user; // AUTH only when user or password is set
    std::string password;
    // Each wait for reply data, and for the exchanger to take more message data.
    std::int32_t replyTimeoutMs = 120000;
    // The TCP connect to one address.
    std::int32_t connectTimeoutMs = 30000;
    // One whole delivery, every exchanger and address included.
    std::int32_t attemptLimitMs = 30 * 60 * 1000;
    TlsPolicy tls = TlsPolicy::may; // not used with `submission`
    // Set: the exchangers are a relay host's addresses, and `tls` gives way to this.
    std::optional<SubmissionTls> submission;
    // The name said in EHLO; empty: this machine's fully qualified name, or the address
    // literal of the connection's local address when it has none.
    std::string ehloName;
};

// How the message arrived, for the MAIL parameters it needs.
struct MessageTraits {
    bool smtputf8 = false; // arrived with SMTPUTF8: an exchanger must offer it
    bool eightBit = false; // has octets above 127: BODY=8BITMIME when offered
};

struct MessageDeliveryResult {
    std::vector<DeliveryResult> recipients; // one per recipient, in their order
    // The exchanger of the last connection: "mx.example [192.0.2.7]:25"; empty when none
    // could be made.
    std::string exchanger;
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" when the last transaction was encrypted; empty in
    // clear.
    std::string tls;
};

// Delivers `message` to `recipients` (paths without angle brackets, sent unchanged) in
// one transaction per connection, trying the exchangers and their addresses in order.
// The next address or exchanger is tried after a connect failure, a greeting that is not
// 220 or does not come in time, a 4xx to EHLO or MAIL, a missing or failing STARTTLS
// under TlsPolicy::encrypt, or a connection lost before the end of data, for every
// recipient still without a final answer. A 5xx to RCPT is final for that recipient, a
// 4xx to RCPT temporary; the reply to the end of data is final for every recipient
// accepted. Permanent also: a 5xx to MAIL or DATA, a message larger than the
// exchanger's SIZE, a SMTPUTF8 message at an exchanger that does not offer SMTPUTF8.
//
// With `options.submission` a relay host gets the message: without TLS, with a failed
// handshake or certificate check, or without a known AUTH mechanism the recipients stay
// temporary and AUTH is never sent; a 5xx to AUTH is permanent, a 4xx temporary.
//
// A reply given as the reason is its code followed by the text of each of its lines,
// joined by blanks; control characters become blanks and the reason is cut at
// delivery_limits::kReasonLength octets.
MessageDeliveryResult DeliverMessage(const std::string& sender,
                                     const std::vector<std::string>& recipients,
                                     const std::vector<Exchanger>& exchangers,
                                     MessageSource& message, const MessageTraits& traits = {},
                                     const DeliveryOptions& options = {});

} // namespace lumenpost
