#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenpost {

// Where one recipient of a queued message stands.
enum class RecipientState { pending, deferred, delivered, failed };

// "pending", "deferred", "delivered", "failed".
std::string_view StateName(RecipientState state);
std::optional<RecipientState> ParseState(std::string_view name);

struct QueuedRecipient {
    std::string address;
    RecipientState state = RecipientState::pending;
    int attempts = 0;
    std::int64_t nextAttempt = 0; // Unix seconds; 0: at once
    std::string lastReason;       // one line; empty before the first attempt
    std::string lastTls;          // encryption of the last delivery; empty: in clear

    bool operator==(const QueuedRecipient&) const = default;

    // A recipient not tried yet.
    static QueuedRecipient Pending(std::string address) {
        QueuedRecipient recipient;
        recipient.address = std::move(address);
        return recipient;
    }
};

// What the queue keeps beside a message's data file.
struct Envelope {
    std::string id;
    std::int64_t arrival = 0; // Unix seconds
    std::string sender;       // empty for the null sender
    bool smtputf8 = false;    // arrived with SMTPUTF8
    bool eightBit = false;    // its text has octets above 127
    std::vector<QueuedRecipient> recipients;

    bool operator==(const Envelope&) const = default;
};

// The envelope file's text: plain, one field per line, recipients in their order.
// Addresses and reasons of any content survive a round trip.
std::string FormatEnvelope(const Envelope& envelope);

// Nothing when the text is not a complete envelope (cut off, damaged, unknown version).
std::optional<Envelope> ParseEnvelope(std::string_view text);

} // namespace lumenpost
