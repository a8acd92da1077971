// The queue's envelope files on arbitrary text: whatever parses formats to text that
// parses back to the same envelope and formats the same again, and the formatted text
// grows only by the lines a version 1 file lacks.
#include "queue/envelope.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace lumenpost;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool IsLetterOrDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The file is plain text: line ends are the only control characters.
bool PlainLines(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto octet = static_cast<unsigned char>(c);
        return c == '\n' || (octet >= 0x20 && octet != 0x7F);
    });
}

void CheckBounds(const Envelope& envelope, std::string_view text) {
    Check(!envelope.id.empty() && envelope.id.size() <= 64 &&
          std::all_of(envelope.id.begin(), envelope.id.end(), IsLetterOrDigit));
    // A recipient takes five lines at least.
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    Check(envelope.recipients.size() * 5 <= lines);
    Check(envelope.sender.size() <= text.size());
    for (const QueuedRecipient& recipient : envelope.recipients) {
        Check(recipient.address.size() + recipient.lastReason.size() + recipient.lastTls.size() <=
              text.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto envelope = ParseEnvelope(text);
    if (!envelope) {
        return 0;
    }
    CheckBounds(*envelope, text);
    const std::string formatted = FormatEnvelope(*envelope);
    // Escapes and numbers never get longer; a version 1 file gains "traits" and "tls".
    Check(formatted.size() <= size + 7 + 4 * envelope->recipients.size());
    Check(PlainLines(formatted));
    const auto again = ParseEnvelope(formatted);
    Check(again == envelope);
    Check(FormatEnvelope(*again) == formatted);
    return 0;
}
