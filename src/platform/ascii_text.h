#pragma once

#include <string>
#include <string_view>

// Text helpers shared by every layer. Texts are octet strings: nothing here converts
// character sets or depends on the process locale.
namespace lumenpost {

// Removes every octet up to and including the blank (0x20: blanks and control
// characters) from both ends.
std::string Trim(std::string_view text);

// The text without control characters (below 0x20, and 0x7F), e.g. a name a client gave
// before it goes into a reply or a header.
std::string WithoutControls(std::string_view text);

// True when every octet is ASCII (below 0x80): 7-bit text.
bool IsAscii(std::string_view text);

// ASCII upper and lower case; other octets unchanged.
std::string UpperAscii(std::string_view text);
std::string LowerAscii(std::string_view text);

// An ASCII letter or digit, whatever the locale.
constexpr bool IsAsciiLetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// One octet in ASCII lower case; other octets unchanged.
constexpr char LowerAsciiChar(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace lumenpost
