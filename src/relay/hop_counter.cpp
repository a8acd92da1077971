#include "relay/hop_counter.h"

#include "platform/ascii_text.h"

namespace lumenpost {
namespace {

constexpr std::string_view kReceived = "RECEIVED:";

} // namespace

void HopCounter::Add(std::string_view text) {
    while (inHeader_ && !text.empty()) {
        const std::size_t lf = text.find('\n');
        const std::string_view piece =
            text.substr(0, lf == std::string_view::npos ? text.size() : lf);
        if (lineStart_.size() < kReceived.size()) {
            lineStart_ += piece.substr(0, kReceived.size() - lineStart_.size());
        }
        if (lf == std::string_view::npos) {
            return;
        }
        EndLine();
        text.remove_prefix(lf + 1);
    }
}

void HopCounter::EndLine() {
    // Judged on the line's first octets, not on each piece: "\r" then "\r\n" is no blank line.
    if (lineStart_.empty() || lineStart_ == "\r") {
        inHeader_ = false;
    } else if (UpperAscii(lineStart_) == kReceived) {
        ++hops_;
    }
    lineStart_.clear();
}

} // namespace lumenpost
