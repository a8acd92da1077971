// The data phase with arbitrary block cuts: the message text must not depend on where
// the stream was cut, and a block may only be the last part when the raw bytes received
// so far end with the end marker.
#include "fuzz_input.h"
#include "smtp_server/message_data_reader.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenpost;
    fuzz::FuzzInput input(data, size);

    MessageDataReader whole;
    whole.Start();
    const std::string expected = whole.Take(input.Stream()).text;

    MessageDataReader reader;
    reader.Start();
    std::string text;
    std::string raw = "\r\n"; // the DATA command's line end starts the first line
    while (!input.AtEnd()) {
        const std::string_view block = input.NextBlock();
        raw += block;
        const MessageDataReader::Block taken = reader.Take(block);
        text += taken.text;
        if (taken.lastPart != raw.ends_with("\r\n.\r\n")) {
            std::abort();
        }
    }
    if (text != expected) {
        std::abort();
    }
    return 0;
}
