#include "queue/envelope.h"

#include "queue/queue_files.h"

#include <array>
#include <charconv>

// The envelope file, one field per line:
//
//   lumenpost-envelope 2
//   id 0l3x8f2k1q9a7bcd
//   arrival 1700000000
//   sender alice@example.org
//   traits smtputf8 8bit
//   recipients 1
//   recipient "john smith"@example.net
//   state deferred
//   attempts 2
//   next-attempt 1700000300
//   reason 451 4.7.1 try again later
//   tls TLSv1.3 TLS_AES_256_GCM_SHA384
//   end
//
// Version 1 files (without the traits and tls lines) are still read.
//
// A field is its name, one blank and its value up to the line end; an empty value
// leaves out the blank. Values keep every octet (blanks, quotes, UTF-8) except that
// '%', the control characters (the line end among them) and DEL are written as '%'
// and two hexadecimal digits. The recipient count and the final "end" line make a
// file cut off anywhere fail to parse.
namespace lumenpost {

namespace {

constexpr std::string_view kVersionLine = "lumenpost-envelope 2";
constexpr std::string_view kVersion1Line = "lumenpost-envelope 1";
constexpr std::string_view kSmtpUtf8Trait = "smtputf8";
constexpr std::string_view kEightBitTrait = "8bit";
constexpr std::array<std::string_view, 4> kStateNames = {"pending", "deferred", "delivered",
                                                         "failed"};

bool NeedsEscape(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == '%';
}

std::string Escape(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        const auto octet = static_cast<unsigned char>(c);
        if (NeedsEscape(octet)) {
            out += '%';
            out += kHex[octet >> 4];
            out += kHex[octet & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::optional<std::string> Unescape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto octet = static_cast<unsigned char>(value[i]);
        if (octet != '%') {
            if (NeedsEscape(octet)) {
                return std::nullopt; // a raw control character: not written by us
            }
            out += value[i];
            continue;
        }
        if (i + 2 >= value.size()) {
            return std::nullopt;
        }
        const int high = HexValue(value[i + 1]);
        const int low = HexValue(value[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

void AddField(std::string& text, std::string_view name, std::string_view value) {
    text += name;
    if (!value.empty()) {
        text += ' ';
        text += value;
    }
    text += '\n';
}

// Reads the fields in their order. The first mismatch is sticky: every later read
// yields nothing, and the caller checks Ok() once at the end.
class FieldReader {
public:
    explicit FieldReader(std::string_view text) : rest_(text) {}

    bool Ok() const { return ok_; }

    // The raw text of the next line, which must be `name` or `name value`.
    std::string_view Raw(std::string_view name) {
        const std::string_view line = NextLine();
        if (!ok_) {
            return {};
        }
        if (line == name) {
            return {};
        }
        if (line.size() > name.size() && line.starts_with(name) && line[name.size()] == ' ') {
            return line.substr(name.size() + 1);
        }
        return Fail();
    }

    std::string Text(std::string_view name) {
        auto value = Unescape(Raw(name));
        if (!value) {
            Fail();
            return {};
        }
        return std::move(*value);
    }

    template <typename Number> Number Integer(std::string_view name) {
        const std::string_view digits = Raw(name);
        Number number{};
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
            Fail();
            return {};
        }
        return number;
    }

    RecipientState State(std::string_view name) {
        const auto state = ParseState(Raw(name));
        if (!state) {
            Fail();
            return {};
        }
        return *state;
    }

    // The exact line `line`, and then nothing more.
    void Line(std::string_view line) {
        if (NextLine() != line) {
            Fail();
        }
    }
    // The next line, which must be one of `first` and `second`: true for `second`.
    bool Either(std::string_view first, std::string_view second) {
        const std::string_view line = NextLine();
        if (line != first && line != second) {
            Fail();
        }
        return line == second;
    }
    void AtEnd() {
        if (!rest_.empty()) {
            Fail();
        }
    }

private:
    std::string_view NextLine() {
        const std::size_t end = rest_.find('\n');
        if (!ok_ || end == std::string_view::npos) {
            return Fail(); // a line without its end is a cut-off file
        }
        const std::string_view line = rest_.substr(0, end);
        rest_.remove_prefix(end + 1);
        return line;
    }
    std::string_view Fail() {
        ok_ = false;
        rest_ = {};
        return {};
    }

    std::string_view rest_;
    bool ok_ = true;
};

std::string TraitsText(const Envelope& envelope) {
    std::string text;
    for (const auto& [set, name] : {std::pair{envelope.smtputf8, kSmtpUtf8Trait},
                                    std::pair{envelope.eightBit, kEightBitTrait}}) {
        if (set) {
            text += text.empty() ? "" : " ";
            text += name;
        }
    }
    return text;
}

// Unknown words are left alone, so that a later version's traits do not hide the message.
void ReadTraits(std::string_view text, Envelope& envelope) {
    while (!text.empty()) {
        const std::size_t blank = text.find(' ');
        const std::string_view word = text.substr(0, blank);
        envelope.smtputf8 = envelope.smtputf8 || word == kSmtpUtf8Trait;
        envelope.eightBit = envelope.eightBit || word == kEightBitTrait;
        text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
    }
}

} // namespace

std::string_view StateName(RecipientState state) {
    return kStateNames[static_cast<std::size_t>(state)];
}

std::optional<RecipientState> ParseState(std::string_view name) {
    for (std::size_t i = 0; i < kStateNames.size(); ++i) {
        if (kStateNames[i] == name) {
            return static_cast<RecipientState>(i);
        }
    }
    return std::nullopt;
}

std::string FormatEnvelope(const Envelope& envelope) {
    std::string text;
    text += kVersionLine;
    text += '\n';
    AddField(text, "id", Escape(envelope.id));
    AddField(text, "arrival", std::to_string(envelope.arrival));
    AddField(text, "sender", Escape(envelope.sender));
    AddField(text, "traits", TraitsText(envelope));
    AddField(text, "recipients", std::to_string(envelope.recipients.size()));
    for (const QueuedRecipient& recipient : envelope.recipients) {
        AddField(text, "recipient", Escape(recipient.address));
        AddField(text, "state", StateName(recipient.state));
        AddField(text, "attempts", std::to_string(recipient.attempts));
        AddField(text, "next-attempt", std::to_string(recipient.nextAttempt));
        AddField(text, "reason", Escape(recipient.lastReason));
        AddField(text, "tls", Escape(recipient.lastTls));
    }
    text += "end\n";
    return text;
}

std::optional<Envelope> ParseEnvelope(std::string_view text) {
    FieldReader reader(text);
    Envelope envelope;
    const bool current = reader.Either(kVersion1Line, kVersionLine);
    envelope.id = reader.Text("id");
    envelope.arrival = reader.Integer<std::int64_t>("arrival");
    envelope.sender = reader.Text("sender");
    if (current) {
        ReadTraits(reader.Text("traits"), envelope);
    }
    const auto count = reader.Integer<std::size_t>("recipients");
    for (std::size_t i = 0; reader.Ok() && i < count; ++i) {
        QueuedRecipient recipient;
        recipient.address = reader.Text("recipient");
        recipient.state = reader.State("state");
        recipient.attempts = reader.Integer<int>("attempts");
        recipient.nextAttempt = reader.Integer<std::int64_t>("next-attempt");
        recipient.lastReason = reader.Text("reason");
        if (current) {
            recipient.lastTls = reader.Text("tls");
        }
        envelope.recipients.push_back(std::move(recipient));
    }
    reader.Line("end");
    reader.AtEnd();
    // The id names the message's files: nothing else may stand in it.
    if (!reader.Ok() || !queue_files::IsQueueId(envelope.id)) {
        return std::nullopt;
    }
    return envelope;
}

} // namespace lumenpost
