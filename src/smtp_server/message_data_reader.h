#pragma once

#include <string>
#include <string_view>

namespace lumenpost {

// Turns the blocks of the data phase into message text. The end marker (CR LF "." CR LF) is
// looked for on the bytes as received, so a stuffed ".." line can never end a message, and
// the start of the data counts as a line start, so a lone "." line ends an empty message.
// Every line that begins with two dots loses one of them, wherever the line starts relative
// to block borders. A line starts after LF, and after a CR that no LF follows, matching how
// the intake splits lines.
class MessageDataReader {
public:
    struct Block {
        std::string text; // the received block after the dot step
        bool lastPart = false;
    };

    // Prepares for a new message; the next byte starts a line.
    void Start();

    // One received block, in arrival order.
    Block Take(std::string_view received);

private:
    enum class LinePosition { kLineStart, kAfterLeadingDot, kInLine, kAfterCr };

    void Scan(char c, std::string& out);
    bool CompletesEndMarker(std::string_view received);

    LinePosition position_ = LinePosition::kLineStart;
    std::string rawTail_; // the last bytes received, to find a marker split across blocks
};

} // namespace lumenpost
