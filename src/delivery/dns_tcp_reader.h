#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumenpost {

// Cuts DNS messages out of a TCP stream, where each is preceded by its length in two
// octets (RFC 1035 4.2.2). It takes exactly the octets it still needs, so it never
// holds more than one message of at most 65535 octets and its prefix.
class DnsTcpReader {
public:
    static constexpr std::size_t kLengthSize = 2;

    // Octets still needed to complete the length prefix or the message; 0 while a
    // complete message waits to be taken.
    std::size_t Wanted() const;
    // Takes up to Wanted() octets from the front of `octets`; returns how many.
    std::size_t Feed(std::string_view octets);
    // The completed message (maybe empty), once; nothing while it is incomplete.
    std::optional<std::string> TakeMessage();

private:
    bool Complete() const;

    std::string prefix_;
    std::string message_;
};

} // namespace lumenpost
