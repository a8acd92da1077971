#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace lumenpost {

// Raised by a blocking socket after a failed operation when its owner asked for it
// (RaiseOnError); otherwise failures are only recorded in the socket's ErrorCode.
class EBlockSocketError : public std::runtime_error {
public:
    EBlockSocketError(const std::string& message, std::int32_t code, std::string description)
        : std::runtime_error(message), Code(code), Description(std::move(description)) {}

    std::int32_t Code;
    std::string Description;
};

} // namespace lumenpost
