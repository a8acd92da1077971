#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumenpost {

// The login name of the user `uid` in the user database; nothing when it has none.
std::optional<std::string> UserName(std::uint32_t uid);

} // namespace lumenpost
