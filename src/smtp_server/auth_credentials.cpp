#include "smtp_server/auth_credentials.h"

#include "smtp_server/smtp_text.h"

namespace lumenpost {

using namespace smtp_text;

std::string NulsToBlanks(std::string_view text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\0') {
            result += text[i];
        } else if (i > 0) {
            result += ' ';
        }
    }
    return result;
}

Credentials SplitCredentials(std::string_view text) {
    const std::string rebuilt = NulsToBlanks(text);
    const std::string_view words = rebuilt.empty() ? text : std::string_view(rebuilt);
    const std::size_t blank = words.find(' ');
    if (blank == std::string_view::npos) {
        return {{}, Trim(words.substr(words.empty() ? 0 : 1))};
    }
    return {std::string(words.substr(0, blank)), Trim(words.substr(blank + 1))};
}

} // namespace lumenpost
