#include "delivery/text_helpers.h"

#include "platform/ascii_text.h"

#include <charconv>
#include <vector>

namespace lumenpost {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::string Word16ToText(std::uint16_t value) {
    return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

std::uint16_t TextToWord16(std::string_view text, std::size_t position) {
    if (position == 0 || text.size() <= position) {
        return 0;
    }
    const auto high = static_cast<unsigned char>(text[position - 1]);
    const auto low = static_cast<unsigned char>(text[position]);
    return static_cast<std::uint16_t>(high * 256 + low);
}

bool LooksLikeIPv4(std::string_view text) {
    if (text.find("..") != std::string_view::npos) {
        return false;
    }
    int group = 0;
    int dots = 0;
    for (const char c : text) {
        if (IsDigit(c)) {
            ++group;
        } else if (c == '.') {
            group = 0;
            ++dots;
        } else {
            return false;
        }
        if (group > 3) {
            return false;
        }
    }
    return dots == 3;
}

std::string ReverseIPv4(std::string_view text) {
    std::vector<std::string_view> groups;
    std::size_t start = 0;
    for (std::size_t dot = text.find('.'); dot != std::string_view::npos;
         dot = text.find('.', start)) {
        groups.push_back(text.substr(start, dot - start));
        start = dot + 1;
    }
    groups.push_back(text.substr(start));
    std::string reversed;
    for (auto it = groups.rbegin(); it != groups.rend(); ++it) {
        if (it != groups.rbegin()) {
            reversed += '.';
        }
        reversed += *it;
    }
    return reversed;
}

std::string TextBefore(std::string_view text, std::string_view delimiter) {
    return Trim(text.substr(0, text.find(delimiter)));
}

std::string TextAfter(std::string_view text, std::string_view delimiter) {
    const std::size_t at = text.find(delimiter);
    if (at == std::string_view::npos) {
        return Trim(text);
    }
    return Trim(text.substr(at + delimiter.size()));
}

std::string TakeToken(std::string& text, std::string_view delimiter) {
    std::string token = TextBefore(text, delimiter);
    if (text.find(delimiter) != std::string::npos) {
        text = TextAfter(text, delimiter);
    } else {
        text.clear();
    }
    return token;
}

std::string ExtractAddress(std::string_view text) {
    return Trim(TextBefore(TextAfter(text, "<"), ">"));
}

std::string HexLower(std::string_view octets) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(octets.size() * 2);
    for (const char c : octets) {
        const auto octet = static_cast<unsigned char>(c);
        hex += kDigits[octet >> 4];
        hex += kDigits[octet & 0x0F];
    }
    return hex;
}

std::optional<std::int32_t> DecimalToInt32(std::string_view text) {
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

} // namespace lumenpost
