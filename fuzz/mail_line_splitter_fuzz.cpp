// The intake's splitter with arbitrary block cuts: the lines must not depend on the
// cuts, and no line may keep a CR or LF.
#include "fuzz_input.h"
#include "relay/mail_line_splitter.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenpost;
    fuzz::FuzzInput input(data, size);

    MailLineSplitter whole;
    whole.AddBlock(input.Stream());
    const MailLineList expected = whole.Finish();

    MailLineSplitter splitter;
    while (!input.AtEnd()) {
        splitter.AddBlock(input.NextBlock());
    }
    const MailLineList lines = splitter.Finish();
    if (lines != expected) {
        std::abort();
    }
    for (const std::string& line : lines) {
        if (line.find_first_of("\r\n") != std::string::npos) {
            std::abort();
        }
    }
    // Finish leaves the splitter empty.
    if (!splitter.Finish().empty()) {
        std::abort();
    }
    return 0;
}
