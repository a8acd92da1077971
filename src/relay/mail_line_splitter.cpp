#include "relay/mail_line_splitter.h"

#include <utility>

namespace lumenpost {

void MailLineSplitter::AddBlock(std::string_view block) {
    std::size_t pos = 0;
    if (afterCr_ && !block.empty()) {
        afterCr_ = false;
        if (block.front() == '\n') {
            pos = 1;
        }
    }
    while (pos < block.size()) {
        const std::size_t end = block.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            partial_.append(block.substr(pos));
            return;
        }
        partial_.append(block.substr(pos, end - pos));
        EndLine();
        pos = end + 1;
        if (block[end] == '\r') {
            if (pos == block.size()) {
                afterCr_ = true;
            } else if (block[pos] == '\n') {
                ++pos;
            }
        }
    }
}

// A copy takes exactly the line's size, while the moved-out buffer would keep the slack
// of its growth (120 octets for a 77-octet line); partial_ keeps its buffer for the next.
void MailLineSplitter::EndLine() {
    lines_.push_back(partial_);
    partial_.clear();
}

MailLineList MailLineSplitter::Finish() {
    if (!partial_.empty()) {
        EndLine();
    } else if (!lines_.empty() && lines_.back() == ".") {
        lines_.pop_back();
    }
    afterCr_ = false;
    MailLineList result = std::move(lines_);
    lines_.clear();
    return result;
}

} // namespace lumenpost
