#include "relay/local_message_lines.h"

#include <algorithm>

namespace lumenpost {

std::size_t LocalMessageLines::Add(std::string_view block, std::string& out) {
    std::size_t at = 0;
    while (at < block.size() && !ended_) {
        if (!lineStart_ && !afterCr_ && !heldDot_) {
            // Inside a line only CR, LF and NUL matter: copy up to the next one at once.
            const std::size_t stop =
                std::min(block.find_first_of(std::string_view("\r\n\0", 3), at), block.size());
            out.append(block.substr(at, stop - at));
            at = stop;
            if (at == block.size()) {
                break;
            }
        }
        if (!Take(block[at++], out)) {
            return at;
        }
    }
    return at;
}

bool LocalMessageLines::Take(char c, std::string& out) {
    if (afterCr_) {
        afterCr_ = false;
        if (c == '\n') {
            return true; // ended its line with the CR
        }
    }
    sawNul_ = sawNul_ || c == '\0';
    if (c == '\r' || c == '\n') {
        if (heldDot_) {
            ended_ = true;
            return false;
        }
        out += "\r\n";
        afterCr_ = c == '\r';
        lineStart_ = true;
        return true;
    }
    if (heldDot_) {
        out += '.';
        heldDot_ = false;
    } else if (lineStart_ && c == '.' && dotEnds_) {
        heldDot_ = true;
        lineStart_ = false;
        return true;
    }
    lineStart_ = false;
    out += c;
    return true;
}

void LocalMessageLines::Finish(std::string& out) {
    if (ended_) {
        return;
    }
    if (heldDot_) {
        out += '.'; // the input ended inside the line: it was no end line
    }
    if (!lineStart_) {
        out += "\r\n";
    }
    heldDot_ = false;
    afterCr_ = false;
    lineStart_ = true;
}

} // namespace lumenpost
