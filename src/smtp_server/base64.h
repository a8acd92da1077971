#pragma once

#include <string>
#include <string_view>

namespace lumenpost {

// Decodes standard base64 ("A"-"Z", "a"-"z", "0"-"9", "+", "/", "=" as padding) in groups of
// four. It never rejects input: a character outside the alphabet counts as the value 63.
// A final group of two or three characters is decoded as if padded with "="; a lone final
// character yields nothing.
// NUL bytes stay in the result.
std::string Base64Decode(std::string_view text);

} // namespace lumenpost
