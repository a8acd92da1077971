#include "platform/user_name.h"

#include <cerrno>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace lumenpost {
namespace {

// Enough for any entry of a local user database; a larger one is asked again.
constexpr std::size_t kFirstBuffer = 1024;
constexpr std::size_t kLargestBuffer = 1024 * 1024;

} // namespace

std::optional<std::string> UserName(std::uint32_t uid) {
    for (std::size_t size = kFirstBuffer; size <= kLargestBuffer; size *= 4) {
        std::vector<char> buffer(size);
        passwd entry{};
        passwd* found = nullptr;
        const int err =
            ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
        if (err == ERANGE) {
            continue;
        }
        if (err != 0 || found == nullptr || found->pw_name == nullptr || found->pw_name[0] == 0) {
            return std::nullopt;
        }
        return std::string(found->pw_name);
    }
    return std::nullopt;
}

} // namespace lumenpost
