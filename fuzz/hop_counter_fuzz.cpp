// The "Received:" counter with arbitrary block cuts: the count must not depend on the
// cuts, must not exceed the lines of the text, and a reset counter counts afresh.
#include "fuzz_input.h"
#include "relay/hop_counter.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenpost;
    fuzz::FuzzInput input(data, size);
    const std::string_view stream = input.Stream();

    HopCounter whole;
    whole.Add(stream);
    const int expected = whole.Hops();
    if (expected < 0 || expected > std::count(stream.begin(), stream.end(), '\n')) {
        std::abort();
    }

    HopCounter counter;
    counter.Add("Received: from an earlier message\r\n");
    counter.Reset();
    while (!input.AtEnd()) {
        counter.Add(input.NextBlock());
    }
    if (counter.Hops() != expected) {
        std::abort();
    }
    return 0;
}
