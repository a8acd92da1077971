#include "system/control_channel_wire.h"

namespace lumenpost {
namespace {

constexpr std::string_view kOkLine = "OK\n";
constexpr std::string_view kErrorLine = "ERROR\n";

} // namespace

std::string FormatReply(const ControlReply& reply) {
    std::string wire(reply.ok ? kOkLine : kErrorLine);
    wire += reply.text;
    return wire;
}

std::optional<ControlReply> ParseReply(std::string_view received) {
    for (const bool ok : {true, false}) {
        const std::string_view status = ok ? kOkLine : kErrorLine;
        if (received.starts_with(status)) {
            return ControlReply{ok, std::string(received.substr(status.size()))};
        }
    }
    return std::nullopt;
}

} // namespace lumenpost
