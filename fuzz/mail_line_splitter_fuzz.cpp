// The intake's splitter with arbitrary block cuts: the text must not depend on the
// cuts, and every CR or LF in it must be part of a CR LF.
#include "fuzz_input.h"
#include "relay/mail_line_splitter.h"

#include <cstdlib>

namespace {

bool OnlyCrLfLineEnds(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool crOfPair = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        const bool lfOfPair = text[i] == '\n' && i > 0 && text[i - 1] == '\r';
        if ((text[i] == '\r' && !crOfPair) || (text[i] == '\n' && !lfOfPair)) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenpost;
    fuzz::FuzzInput input(data, size);

    MailLineSplitter whole;
    const std::string expected = whole.AddBlock(input.Stream()) + whole.Finish();

    MailLineSplitter splitter;
    std::string text;
    while (!input.AtEnd()) {
        text += splitter.AddBlock(input.NextBlock());
    }
    text += splitter.Finish();
    if (text != expected || !OnlyCrLfLineEnds(text)) {
        std::abort();
    }
    if (!text.empty() && !text.ends_with("\r\n")) {
        std::abort();
    }
    // Finish leaves the splitter empty.
    if (!splitter.Finish().empty()) {
        std::abort();
    }
    return 0;
}
