#pragma once

#include <stdexcept>
#include <string>

namespace lumenpost {

// The one exception type of the event-driven socket layer; its message is the
// English text that names the failing step.
class ESocketException : public std::runtime_error {
public:
    explicit ESocketException(const std::string& message) : std::runtime_error(message) {}
};

} // namespace lumenpost
