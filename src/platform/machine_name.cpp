#include "platform/machine_name.h"

#include <unistd.h>
#include <vector>

namespace lumenpost {

std::optional<std::string> MachineName(std::size_t bufferSize) {
    // One octet more than the system may fill, so the text always ends.
    std::vector<char> name(bufferSize + 1, '\0');
    if (::gethostname(name.data(), bufferSize) != 0) {
        return std::nullopt;
    }
    return std::string(name.data());
}

} // namespace lumenpost
