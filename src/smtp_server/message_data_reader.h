#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumenpost {

// Turns the blocks of the data phase into message text. The end marker (CR LF "." CR LF) is
// looked for on the bytes as received, anywhere in a block (what follows it is no longer
// the message: a pipelining client's next commands), so a stuffed ".." line can never end a
// message, and the start of the data counts as a line start, so a lone "." line ends an empty
// message. Every line that begins with two dots loses one of them, wherever the line starts
// relative to block borders. A line starts after LF, and after a CR that no LF follows, matching
// how the intake splits lines. With a size limit, the text (not counting the end line) is counted
// as it comes; the octets that may still turn out to be the end line count only once the next byte
// shows they are not. From the block that goes over the limit on, text is discarded, and only the
// end marker is still looked for.
class MessageDataReader {
public:
    struct Block {
        std::string text; // the received block after the dot step; empty when oversized
        bool lastPart = false;
        bool oversized = false;   // the message has gone over the limit; stays so to its end
        std::size_t consumed = 0; // octets of the block up to the end marker (all without one)
    };

    // Prepares for a new message; the next byte starts a line. `maxSize` 0: no limit.
    void Start(std::uint64_t maxSize = 0);

    // One received block, in arrival order.
    Block Take(std::string_view received);

private:
    enum class LinePosition { kLineStart, kAfterLeadingDot, kInLine, kAfterCr };

    void Unstuff(std::string_view received, std::string& out);
    void Scan(char c, std::string& out);
    // Octets of `received` up to and including the first end marker; none without one.
    std::optional<std::size_t> FindEndMarker(std::string_view received) const;
    void KeepTail(std::string_view received);
    bool GoesOverLimit(const Block& block);
    std::size_t EndLineOctets(bool lastPart) const;

    LinePosition position_ = LinePosition::kLineStart;
    std::string rawTail_; // the last bytes received, to find a marker split across blocks
    std::uint64_t maxSize_ = 0;
    std::uint64_t taken_ = 0; // octets of text handed out so far
    bool oversized_ = false;
};

} // namespace lumenpost
