#pragma once

#include <string>
#include <string_view>

namespace lumenpost {

// Turns the data blocks of one message into the message text as it is queued: every
// line ended by CR LF. Blocks are pieces of the received stream with no relation to line
// boundaries. CR LF, a bare LF and a bare CR each end one line, so that no bare line end
// ever reaches an exchanger. The server has already undone the dot transparency, so no
// dot is removed here; only the client's end line "." is dropped. Text is handed on as
// soon as it is known, so memory stays bounded whatever the length of a line.
class MailLineSplitter {
public:
    // The text of `block` that is final now.
    std::string AddBlock(std::string_view block);

    // Ends the message: the rest of the text (an unterminated last line gets its CR LF;
    // the end line is dropped). The splitter is ready for a new message afterwards.
    std::string Finish();

private:
    void Take(char c, std::string& out);
    // In the middle of a line, with nothing held back.
    bool InLine() const { return !afterCr_ && !lineStart_ && !heldDot_ && !heldDotLine_; }
    void EndLine(std::string& out);

    bool afterCr_ = false;     // the last octet was a CR: a following LF belongs to it
    bool lineStart_ = true;    // nothing of the current line was seen yet
    bool heldDot_ = false;     // the current line is so far a lone "." (held back)
    bool heldDotLine_ = false; // a complete "." line is held back: it may be the end line
};

} // namespace lumenpost
