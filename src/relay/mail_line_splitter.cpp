#include "relay/mail_line_splitter.h"

#include <algorithm>

namespace lumenpost {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

} // namespace

std::string MailLineSplitter::AddBlock(std::string_view block) {
    std::string out;
    out.reserve(block.size() + 8);
    std::size_t pos = 0;
    while (pos < block.size()) {
        if (InLine()) {
            // Inside a line nothing but a CR or LF matters: copy up to it in one step.
            const std::size_t end = std::min(block.find_first_of("\r\n", pos), block.size());
            out.append(block.substr(pos, end - pos));
            pos = end;
            if (pos == block.size()) {
                break;
            }
        }
        Take(block[pos++], out);
    }
    return out;
}

void MailLineSplitter::Take(char c, std::string& out) {
    if (afterCr_) {
        afterCr_ = false;
        if (c == '\n') {
            return; // the LF of a CR LF already ended its line
        }
    }
    if (heldDotLine_) {
        // More text follows, so the held "." line was a line of the message.
        out += '.';
        out += kLineEnd;
        heldDotLine_ = false;
    }
    if (c == '\r' || c == '\n') {
        afterCr_ = c == '\r';
        EndLine(out);
        return;
    }
    if (heldDot_) {
        out += '.';
        heldDot_ = false;
    } else if (lineStart_ && c == '.') {
        heldDot_ = true;
        lineStart_ = false;
        return;
    }
    lineStart_ = false;
    out += c;
}

void MailLineSplitter::EndLine(std::string& out) {
    if (heldDot_) {
        heldDot_ = false;
        heldDotLine_ = true;
    } else {
        out += kLineEnd;
    }
    lineStart_ = true;
}

std::string MailLineSplitter::Finish() {
    std::string out;
    if (heldDot_) {
        out += '.'; // an unterminated "." is a line of the message, not the end line
    }
    if (!lineStart_) {
        out += kLineEnd;
    }
    // A held complete "." line is the client's end line: it is dropped.
    *this = MailLineSplitter();
    return out;
}

} // namespace lumenpost
