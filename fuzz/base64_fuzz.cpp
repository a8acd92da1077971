// Both base64 decoders on arbitrary text, and the encoder's output read back by both.
#include "delivery/base64.h"
#include "smtp_server/base64.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenpost;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Neither decoder may ever yield more than three octets per four characters.
    if (Base64Decode(bytes).size() > (size + 3) / 4 * 3 ||
        Base64ToText(bytes).size() > (size + 3) / 4 * 3) {
        std::abort();
    }
    const std::string encoded = TextToBase64(bytes);
    if (encoded.size() != (size + 2) / 3 * 4 || Base64ToText(encoded) != bytes ||
        Base64Decode(encoded) != bytes) {
        std::abort();
    }
    return 0;
}
