#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The argument of MAIL FROM split into the reverse path and the ESMTP parameters after it.
// Only SIZE is read for now; other parameters are passed over.
namespace lumenpost {

struct MailArgument {
    std::string_view path;       // up to and including the first '>'; all of it without one
    std::string_view parameters; // what follows the path; empty when there is no '>'
};

MailArgument SplitMailArgument(std::string_view argument);

// The value of the first SIZE=<digits> among blank-separated parameters, the keyword in any
// case; none when there is no such word. A value too large for 64 bits reads as the largest.
std::optional<std::uint64_t> DeclaredSize(std::string_view parameters);

} // namespace lumenpost
