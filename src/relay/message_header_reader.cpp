#include "relay/message_header_reader.h"

#include "platform/ascii_text.h"

namespace lumenpost {
namespace {

enum class LineKind { field, continuation, empty, other, undecided };

// Printable ASCII but the colon (RFC 5322 ftext).
bool IsFieldNameChar(char c) {
    return c > ' ' && c < 0x7F && c != ':';
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// What the line at the start of `rest` is; undecided while more text could change that.
LineKind Classify(std::string_view rest, bool complete) {
    if (IsBlank(rest.front())) {
        return LineKind::continuation;
    }
    if (rest.front() == '\n' || rest.starts_with("\r\n") || (rest == "\r" && complete)) {
        return LineKind::empty;
    }
    std::size_t at = 0;
    while (at < rest.size() && IsFieldNameChar(rest[at])) {
        ++at;
    }
    if (at == 0) {
        return rest == "\r" ? LineKind::undecided : LineKind::other;
    }
    while (at < rest.size() && IsBlank(rest[at])) { // obsolete: blanks before the colon
        ++at;
    }
    if (at == rest.size()) {
        return complete ? LineKind::other : LineKind::undecided;
    }
    return rest[at] == ':' ? LineKind::field : LineKind::other;
}

// Where the line that starts at `at` ends, its line end included.
std::size_t LineEnd(std::string_view text, std::size_t at) {
    const std::size_t lf = text.find('\n', at);
    return lf == std::string_view::npos ? text.size() : lf + 1;
}

} // namespace

std::optional<HeaderBounds> FindHeaderEnd(std::string_view text, bool complete) {
    std::size_t at = 0;
    bool inField = false;
    for (;;) {
        if (at == text.size()) {
            return complete ? std::optional(HeaderBounds{at, at, false}) : std::nullopt;
        }
        LineKind kind = Classify(text.substr(at), complete);
        if (kind == LineKind::continuation && !inField) {
            kind = LineKind::other; // nothing to continue
        }
        switch (kind) {
        case LineKind::undecided:
            return std::nullopt;
        case LineKind::other:
            return HeaderBounds{at, at, false};
        case LineKind::empty:
            return HeaderBounds{at, LineEnd(text, at), true};
        case LineKind::field:
        case LineKind::continuation:
            break;
        }
        // A field may go on in the next line: its end is known only once that has begun.
        const std::size_t next = LineEnd(text, at);
        if (next == text.size() && !complete) {
            return std::nullopt;
        }
        at = next;
        inField = true;
    }
}

std::string HeaderField::UnfoldedBody() const {
    const std::size_t colon = text.find(':');
    std::string body;
    if (colon == std::string_view::npos) {
        return body;
    }
    for (const char c : text.substr(colon + 1)) {
        if (c != '\r' && c != '\n') {
            body += c;
        }
    }
    return body;
}

// Every octet belongs to one field: a line that starts no field belongs to the one
// before it (lines before the first field make one without a name).
std::vector<HeaderField> SplitHeaderFields(std::string_view header) {
    std::vector<HeaderField> fields;
    for (std::size_t at = 0; at < header.size();) {
        const std::size_t end = LineEnd(header, at);
        const std::string_view line = header.substr(at, end - at);
        if (Classify(line, true) == LineKind::field) {
            std::size_t nameEnd = 0;
            while (IsFieldNameChar(line[nameEnd])) {
                ++nameEnd;
            }
            fields.push_back({line.substr(0, nameEnd), line});
        } else if (fields.empty()) {
            fields.push_back({{}, line});
        } else {
            HeaderField& last = fields.back();
            const auto start = static_cast<std::size_t>(last.text.data() - header.data());
            last.text = header.substr(start, end - start);
        }
        at = end;
    }
    return fields;
}

HeaderReading ReadMessageHeader(std::string_view header) {
    HeaderReading reading;
    for (const HeaderField& field : SplitHeaderFields(header)) {
        const std::string name = LowerAscii(field.name);
        if (name != "bcc") {
            reading.withoutBcc += field.text;
        }
        reading.hasDate = reading.hasDate || name == "date";
        reading.hasMessageId = reading.hasMessageId || name == "message-id";
        if (name != "to" && name != "cc" && name != "bcc") {
            continue;
        }
        AddressList list = ParseAddressList(field.UnfoldedBody());
        for (std::string& address : list.addresses) {
            reading.recipients.push_back(std::move(address));
        }
        for (const std::string& entry : list.unreadable) {
            reading.unreadable.push_back(std::string(field.name) + ": " + entry);
        }
    }
    return reading;
}

} // namespace lumenpost
