#include "smtp_server/smtp_text.h"

#include <algorithm>

namespace lumenpost::smtp_text {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsAddressCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '@' || c == '_';
}

template <typename Keep> std::string KeepOnly(std::string_view text, Keep keep) {
    std::string result;
    for (char c : Trim(text)) {
        if (keep(c)) {
            result += c;
        }
    }
    return result;
}

} // namespace

std::string Trim(std::string_view text) {
    const auto first = std::find_if_not(text.begin(), text.end(), IsBlankOrControl);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), IsBlankOrControl).base();
    return first < last ? std::string(first, last) : std::string();
}

std::string_view DropOneLineEnd(std::string_view text) {
    if (text.ends_with(kLineEnd)) {
        text.remove_suffix(kLineEnd.size());
    }
    return text;
}

std::string StripLineEnd(std::string_view text) {
    return Trim(DropOneLineEnd(text));
}

std::string UpperCase(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), UpperAscii);
    return result;
}

std::string LowerCase(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), LowerAscii);
    return result;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           UpperCase(text.substr(0, prefix.size())) == UpperCase(prefix);
}

std::string_view TextFrom(std::string_view text, std::size_t position) {
    const std::size_t offset = position > 0 ? position - 1 : 0;
    return offset < text.size() ? text.substr(offset) : std::string_view();
}

std::string ExtractVerb(std::string_view line) {
    return UpperCase(line.substr(0, line.find_first_of(" \r\n")));
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

std::string FilterSenderAddress(std::string_view text) {
    return KeepOnly(text, IsAddressCharacter);
}

std::string FilterRecipientAddress(std::string_view text) {
    return KeepOnly(text, [](char c) { return IsAddressCharacter(c) || c == '+'; });
}

} // namespace lumenpost::smtp_text
