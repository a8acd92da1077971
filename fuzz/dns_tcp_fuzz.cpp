// Feeds an arbitrary byte stream, cut into blocks of drawn sizes, to the reader of
// length-prefixed DNS messages over TCP, and walks every message it yields as an
// answer. The reader must never take more than it asked for nor hold more than one
// message.
#include "delivery/dns_message.h"
#include "delivery/dns_tcp_reader.h"
#include "fuzz_input.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t kLargestMessage = 0xFFFF;

void Require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenpost;
    fuzz::FuzzInput input(data, size);
    DnsTcpReader reader;
    while (!input.AtEnd()) {
        std::string_view block = input.NextBlock();
        while (!block.empty()) {
            const std::size_t wanted = reader.Wanted();
            Require(wanted <= kLargestMessage);
            const std::size_t taken = reader.Feed(block);
            Require(taken <= wanted && taken <= block.size());
            block.remove_prefix(taken);
            if (const auto message = reader.TakeMessage()) {
                Require(message->size() <= kLargestMessage);
                ParseAnswer(*message);
                AnswersQuery(*message, 0x1234, "example.org", kDnsTypeMx);
            } else {
                Require(taken > 0);
            }
        }
    }
    return 0;
}
