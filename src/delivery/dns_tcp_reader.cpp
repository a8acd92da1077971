#include "delivery/dns_tcp_reader.h"

#include "delivery/text_helpers.h"

#include <algorithm>

namespace lumenpost {

bool DnsTcpReader::Complete() const {
    return prefix_.size() == kLengthSize && message_.size() == TextToWord16(prefix_, 1);
}

std::size_t DnsTcpReader::Wanted() const {
    if (prefix_.size() < kLengthSize) {
        return kLengthSize - prefix_.size();
    }
    return TextToWord16(prefix_, 1) - message_.size();
}

std::size_t DnsTcpReader::Feed(std::string_view octets) {
    const std::size_t taken = std::min(octets.size(), Wanted());
    (prefix_.size() < kLengthSize ? prefix_ : message_).append(octets.substr(0, taken));
    return taken;
}

std::optional<std::string> DnsTcpReader::TakeMessage() {
    if (!Complete()) {
        return std::nullopt;
    }
    std::string message = std::move(message_);
    prefix_.clear();
    message_.clear();
    return message;
}

} // namespace lumenpost
