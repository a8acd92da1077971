#include "relay/local_message_lines.h"

#include <gtest/gtest.h>
#include <vector>

namespace lumenpost {
namespace {

struct Converted {
    std::string text;
    std::size_t taken = 0; // octets of the input that belong to the message
    bool nul = false;
};

// Feeds `input` in blocks of `blockSize` octets, as reads of stdin would come.
Converted Convert(std::string_view input, bool dotEnds, std::size_t blockSize) {
    LocalMessageLines lines(dotEnds);
    Converted out;
    for (std::size_t at = 0; at < input.size() && !lines.Ended(); at += blockSize) {
        out.taken += lines.Add(input.substr(at, blockSize), out.text);
    }
    lines.Finish(out.text);
    out.nul = lines.SawNul();
    return out;
}

TEST(LocalMessageLines, EveryLineEndBecomesCrLfWhateverTheBlocks) {
    const std::string input = "lf\ncrlf\r\ncr\rlast";
    for (const std::size_t blockSize : {1u, 2u, 3u, 64u}) {
        const Converted out = Convert(input, true, blockSize);
        EXPECT_EQ(out.text, "lf\r\ncrlf\r\ncr\r\nlast\r\n") << blockSize;
        EXPECT_EQ(out.taken, input.size());
        // The queue's form passes unchanged: the relay can run it again.
        EXPECT_EQ(Convert(out.text, false, blockSize).text, out.text);
    }
    EXPECT_EQ(Convert("", true, 8).text, "");
    EXPECT_EQ(Convert("\n\n", true, 8).text, "\r\n\r\n");
}

TEST(LocalMessageLines, ALoneDotLineEndsTheMessageUnlessDotsAreText) {
    const std::string input = "a\n.b\n..\n.\r\nafter\n";
    for (const std::size_t blockSize : {1u, 2u, 64u}) {
        const Converted ended = Convert(input, true, blockSize);
        EXPECT_EQ(ended.text, "a\r\n.b\r\n..\r\n") << blockSize;
        EXPECT_EQ(ended.taken, 10u); // the end line's LF is left unread
        const Converted kept = Convert(input, false, blockSize);
        EXPECT_EQ(kept.text, "a\r\n.b\r\n..\r\n.\r\nafter\r\n") << blockSize;
        EXPECT_EQ(kept.taken, input.size());
    }
    EXPECT_EQ(Convert("a\n.\n", true, 64).text, "a\r\n");
    // A dot at the very end, without a line end, is text.
    EXPECT_EQ(Convert("a\n.", true, 64).text, "a\r\n.\r\n");
    EXPECT_EQ(Convert("x.\n", true, 64).text, "x.\r\n");
}

TEST(LocalMessageLines, NoticesANul) {
    EXPECT_FALSE(Convert("plain text\n", true, 4).nul);
    EXPECT_TRUE(Convert(std::string("bin\0ary\n", 8), true, 4).nul);
    EXPECT_TRUE(Convert(std::string("\0", 1), false, 4).nul);
}

} // namespace
} // namespace lumenpost
