#pragma once

#include <string>
#include <string_view>

namespace lumenpost {

// Standard-alphabet Base64 with "=" padding and no line breaks.
std::string TextToBase64(std::string_view octets);

// Decodes four characters at a time. Anything outside the alphabet (blanks, line
// breaks, "=") counts as padding and ends only its own group, so damaged input still
// yields as much as it holds instead of failing.
std::string Base64ToText(std::string_view text);

} // namespace lumenpost
