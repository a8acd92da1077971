#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Small text helpers of the delivery client. Every text is a string of single octets;
// nothing here converts character sets or depends on the process locale.
namespace lumenpost {

// Two octets, high octet first.
std::string Word16ToText(std::uint16_t value);

// The 16-bit value of the two octets at `position` (counted from 1), high octet first;
// 0 when the second octet lies past the end, so a value never decodes half.
std::uint16_t TextToWord16(std::string_view text, std::size_t position);

// Digits and exactly three dots, no two dots adjacent, no group longer than three digits.
bool LooksLikeIPv4(std::string_view text);

// The dot-separated groups in reverse order (1.2.3.4 gives 4.3.2.1).
std::string ReverseIPv4(std::string_view text);

// The trimmed part before the first `delimiter`; the whole trimmed text without one.
std::string TextBefore(std::string_view text, std::string_view delimiter);

// The trimmed part after the first `delimiter`; the whole trimmed text without one.
std::string TextAfter(std::string_view text, std::string_view delimiter);

// Cuts the first token off a `delimiter`-separated list; `text` keeps the rest and is
// empty after the last token.
std::string TakeToken(std::string& text, std::string_view delimiter);

// The address between "<" and ">" when present, otherwise the trimmed text.
std::string ExtractAddress(std::string_view text);

// Every octet as two lower-case hexadecimal digits.
std::string HexLower(std::string_view octets);

// The whole text read as a decimal number that fits 32 bits; nothing otherwise.
std::optional<std::int32_t> DecimalToInt32(std::string_view text);

} // namespace lumenpost
