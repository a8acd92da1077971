#pragma once

#include "system/control_channel.h"

#include <optional>
#include <string>
#include <string_view>

namespace lumenpost {

// "OK\n" or "ERROR\n", then the reply's text.
std::string FormatReply(const ControlReply& reply);

// The reply that `received` holds in full; nullopt when it starts with neither status
// line.
std::optional<ControlReply> ParseReply(std::string_view received);

} // namespace lumenpost
