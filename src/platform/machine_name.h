#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace lumenpost {

// This machine's host name as the system reports it into a buffer of `bufferSize`
// octets; nothing when it cannot be read (errno tells why) or does not fit.
std::optional<std::string> MachineName(std::size_t bufferSize);

} // namespace lumenpost
