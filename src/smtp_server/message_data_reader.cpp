#include "smtp_server/message_data_reader.h"

#include <algorithm>
#include <cstring>

namespace lumenpost {
namespace {

constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kEndMarker = "\r\n.\r\n";
constexpr std::string_view kEndLine = ".\r\n"; // the marker less its leading line break
// What precedes the first byte of the data: the line end of the DATA command.
constexpr std::string_view kDataStart = kLineBreak;

// The first CR or LF at or after `from`, or the size. Two memchr passes (LF first, then
// CR only before it) beat a per-octet set search on long runs.
std::size_t LineEndFrom(std::string_view text, std::size_t from) {
    const char* begin = text.data() + from;
    const std::size_t rest = text.size() - from;
    const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', rest));
    const std::size_t span = lf != nullptr ? static_cast<std::size_t>(lf - begin) : rest;
    const auto* cr = static_cast<const char*>(std::memchr(begin, '\r', span));
    return from + (cr != nullptr ? static_cast<std::size_t>(cr - begin) : span);
}

} // namespace

void MessageDataReader::Start(std::uint64_t maxSize) {
    position_ = LinePosition::kLineStart;
    rawTail_ = kDataStart;
    maxSize_ = maxSize;
    taken_ = 0;
    oversized_ = false;
}

MessageDataReader::Block MessageDataReader::Take(std::string_view received) {
    Block block;
    const std::optional<std::size_t> end = FindEndMarker(received);
    block.lastPart = end.has_value();
    block.consumed = end.value_or(received.size());
    received = received.substr(0, block.consumed);
    if (!oversized_) {
        Unstuff(received, block.text);
    }
    KeepTail(received);
    oversized_ = oversized_ || GoesOverLimit(block);
    block.oversized = oversized_;
    if (oversized_) {
        block.text.clear();
    }
    return block;
}

void MessageDataReader::Unstuff(std::string_view received, std::string& out) {
    out.reserve(received.size());
    std::size_t i = 0;
    while (i < received.size()) {
        if (position_ == LinePosition::kInLine) {
            // Inside a line only a line end changes anything: copy up to it at once.
            const std::size_t end = LineEndFrom(received, i);
            out.append(received.substr(i, end - i));
            i = end;
            if (i == received.size()) {
                break;
            }
        }
        Scan(received[i], out);
        ++i;
    }
}

void MessageDataReader::Scan(char c, std::string& out) {
    if (position_ == LinePosition::kAfterCr && c == '\n') {
        out += c;
        position_ = LinePosition::kLineStart;
        return;
    }
    if (position_ == LinePosition::kAfterLeadingDot && c == '.') {
        position_ = LinePosition::kInLine; // the doubled dot: drop one
        return;
    }
    const bool atLineStart =
        position_ == LinePosition::kLineStart || position_ == LinePosition::kAfterCr;
    out += c;
    if (atLineStart && c == '.') {
        position_ = LinePosition::kAfterLeadingDot;
    } else if (c == '\r') {
        position_ = LinePosition::kAfterCr;
    } else if (c == '\n') {
        position_ = LinePosition::kLineStart;
    } else {
        position_ = LinePosition::kInLine;
    }
}

std::optional<std::size_t> MessageDataReader::FindEndMarker(std::string_view received) const {
    // A marker may begin in the tail of the blocks before; the tail never holds a whole one.
    const std::size_t head = std::min(received.size(), kEndMarker.size() - 1);
    const std::string joint = rawTail_ + std::string(received.substr(0, head));
    if (const std::size_t at = joint.find(kEndMarker); at != std::string::npos) {
        return at + kEndMarker.size() - rawTail_.size();
    }
    if (const std::size_t at = received.find(kEndMarker); at != std::string_view::npos) {
        return at + kEndMarker.size();
    }
    return std::nullopt;
}

void MessageDataReader::KeepTail(std::string_view received) {
    const std::size_t keep = kEndMarker.size() - 1;
    rawTail_ += received.substr(received.size() - std::min(received.size(), kEndMarker.size()));
    if (rawTail_.size() > keep) {
        rawTail_.erase(0, rawTail_.size() - keep);
    }
}

bool MessageDataReader::GoesOverLimit(const Block& block) {
    taken_ += block.text.size();
    return maxSize_ > 0 && taken_ - EndLineOctets(block.lastPart) > maxSize_;
}

// The octets at the end of the text so far that are the end line, or its first one or two
// while the received bytes end with the start of a marker.
std::size_t MessageDataReader::EndLineOctets(bool lastPart) const {
    if (lastPart) {
        return kEndLine.size();
    }
    for (std::size_t pending = kEndLine.size() - 1; pending > 0; --pending) {
        if (rawTail_.ends_with(kEndMarker.substr(0, kLineBreak.size() + pending))) {
            return pending;
        }
    }
    return 0;
}

} // namespace lumenpost
