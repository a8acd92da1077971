#include "smtp_server/smtp_text.h"

namespace lumenpost::smtp_text {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

} // namespace

std::string_view DropOneLineEnd(std::string_view text) {
    if (text.ends_with(kLineEnd)) {
        text.remove_suffix(kLineEnd.size());
    }
    return text;
}

std::string StripLineEnd(std::string_view text) {
    return Trim(DropOneLineEnd(text));
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           UpperAscii(text.substr(0, prefix.size())) == UpperAscii(prefix);
}

std::string_view TextFrom(std::string_view text, std::size_t position) {
    const std::size_t offset = position > 0 ? position - 1 : 0;
    return offset < text.size() ? text.substr(offset) : std::string_view();
}

std::string ExtractVerb(std::string_view line) {
    return UpperAscii(line.substr(0, line.find_first_of(" \r\n")));
}

std::string NthField(std::string_view text, char separator, std::size_t index) {
    std::size_t start = 0;
    for (std::size_t field = 0; field < index; ++field) {
        const std::size_t next = text.find(separator, start);
        if (next == std::string_view::npos) {
            return {};
        }
        start = next + 1;
    }
    const std::size_t end = text.find(separator, start);
    return std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
}

} // namespace lumenpost::smtp_text
