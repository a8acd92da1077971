#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// The argument of MAIL FROM or RCPT TO: the path and the ESMTP parameters after it.
namespace lumenpost {

struct MailParameter {
    std::string_view keyword;
    std::optional<std::string_view> value; // after "="; none for a bare keyword
};

struct PathArgument {
    std::string_view address; // the path without its angle brackets; "" for "<>"
    std::vector<MailParameter> parameters;
};

// The path runs from "<" to the matching ">" (a ">" inside a quoted local part does not
// end it), or up to the first blank when there is no "<"; parameters are blank-separated
// keyword[=value] words. Nothing when the brackets do not close, the path is longer than
// kMaxPath, or a parameter is not well formed.
std::optional<PathArgument> SplitPathArgument(std::string_view argument);

// What the MAIL parameters ask for, once they were found acceptable.
struct MailOptions {
    std::optional<std::uint64_t> size; // SIZE=; a value beyond 64 bits reads as the largest
    bool utf8 = false;                 // SMTPUTF8
};

enum class ParameterProblem { none, malformed, unsupported };

// MAIL takes SIZE=<digits>, BODY=7BIT|8BITMIME, SMTPUTF8 and AUTH=<mailbox> (RFC 4954;
// taken and ignored), each at most once, keywords in any case.
ParameterProblem ReadMailParameters(const std::vector<MailParameter>& parameters,
                                    MailOptions& options);

} // namespace lumenpost
