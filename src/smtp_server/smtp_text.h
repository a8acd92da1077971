#pragma once

#include "platform/ascii_text.h"

#include <cstddef>
#include <string>
#include <string_view>

// Text helpers of the SMTP dialogue. Texts are octet strings: no character-set conversion.
// Trim and the case helpers are the shared ones of platform/ascii_text.h.
namespace lumenpost::smtp_text {

// Removes one CR LF from the end of the text when it ends with one.
std::string_view DropOneLineEnd(std::string_view text);

// Removes one trailing CR LF, then trims.
std::string StripLineEnd(std::string_view text);

// True when `text` begins with `prefix`, compared without regard to ASCII case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// The text from its `position`-th character on, counted from 1; empty when shorter.
std::string_view TextFrom(std::string_view text, std::size_t position);

// The first word of a command line: up to the first blank, CR or LF, in upper case.
std::string ExtractVerb(std::string_view line);

// Field `index` (from 0) of `text` split at `separator`; empty when there are fewer fields.
std::string NthField(std::string_view text, char separator, std::size_t index);

} // namespace lumenpost::smtp_text
