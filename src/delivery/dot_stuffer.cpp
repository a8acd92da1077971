#include "delivery/dot_stuffer.h"

namespace lumenpost {

void TDotStuffer::Append(std::string_view piece, std::string& out) {
    if (piece.empty()) {
        return;
    }
    bool lineStart = last_ == '\n';
    std::size_t from = 0;
    while (from < piece.size()) {
        if (lineStart && piece[from] == '.') {
            out += '.';
        }
        const std::size_t lineFeed = piece.find('\n', from);
        lineStart = lineFeed != std::string_view::npos;
        const std::size_t end = lineStart ? lineFeed + 1 : piece.size();
        out.append(piece.substr(from, end - from));
        from = end;
    }
    beforeLast_ = piece.size() > 1 ? piece[piece.size() - 2] : last_;
    last_ = piece.back();
}

std::string_view TDotStuffer::Ending() const {
    const bool endsWithCrLf = beforeLast_ == '\r' && last_ == '\n';
    return endsWithCrLf ? ".\r\n" : "\r\n.\r\n";
}

} // namespace lumenpost
