#pragma once

#include <string>
#include <string_view>

namespace lumenpost {

struct Credentials {
    std::string user;
    std::string password;
};

// Drops a NUL at the first position and turns every other NUL into one blank, so that
// PLAIN credentials (authorisation identity, NUL, user, NUL, password) read as words.
std::string NulsToBlanks(std::string_view text);

// Splits decoded credentials: the user is the first word, the password the trimmed rest.
// A text without a blank gives no user and the text less its first character as password.
Credentials SplitCredentials(std::string_view text);

} // namespace lumenpost
