#include "delivery/text_helpers.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

TEST(TextHelpersTest, Word16RoundTripAndShortTextReadsZero) {
    EXPECT_EQ(Word16ToText(0x1234), "\x12\x34");
    EXPECT_EQ(TextToWord16("\x12\x34", 1), 0x1234);
    EXPECT_EQ(TextToWord16(Word16ToText(65535), 1), 65535);
    // The octet pair would run past the end: 0, never half a value.
    EXPECT_EQ(TextToWord16("\x12\x34", 2), 0);
    EXPECT_EQ(TextToWord16("", 1), 0);
}

TEST(TextHelpersTest, LooksLikeIPv4AndReverse) {
    EXPECT_TRUE(LooksLikeIPv4("10.0.0.1"));
    EXPECT_TRUE(LooksLikeIPv4("999.1.1.1"));
    EXPECT_TRUE(LooksLikeIPv4(".1.2.3"));
    EXPECT_FALSE(LooksLikeIPv4("10.0.0"));
    EXPECT_FALSE(LooksLikeIPv4("10..0.1"));
    EXPECT_FALSE(LooksLikeIPv4("1234.0.0.1"));
    EXPECT_FALSE(LooksLikeIPv4("10.0.0.a"));
    EXPECT_FALSE(LooksLikeIPv4("1.2.3.4.5"));
    EXPECT_EQ(ReverseIPv4("1.2.3.4"), "4.3.2.1");
    EXPECT_EQ(ReverseIPv4("example"), "example");
}

TEST(TextHelpersTest, TakeTokenWalksAListLeftToRight) {
    std::string list = "a@example.org, b@example.org";
    EXPECT_EQ(TakeToken(list, ","), "a@example.org");
    EXPECT_EQ(TakeToken(list, ","), "b@example.org");
    EXPECT_TRUE(list.empty());

    std::string single = "  only@example.org \t";
    EXPECT_EQ(TakeToken(single, ","), "only@example.org");
    EXPECT_TRUE(single.empty());

    std::string gap = "a,,b";
    EXPECT_EQ(TakeToken(gap, ","), "a");
    EXPECT_EQ(TakeToken(gap, ","), "");
    EXPECT_EQ(TakeToken(gap, ","), "b");
    EXPECT_EQ(TextAfter("host::25", "::"), "25");
}

TEST(TextHelpersTest, ExtractAddress) {
    EXPECT_EQ(ExtractAddress("Some Name <some@example.org>"), "some@example.org");
    EXPECT_EQ(ExtractAddress("  bare@example.org "), "bare@example.org");
    EXPECT_EQ(ExtractAddress("Name <open@example.org"), "open@example.org");
    EXPECT_EQ(ExtractAddress("close@example.org> tail"), "close@example.org");
}

TEST(TextHelpersTest, HexLowerAndDecimal) {
    EXPECT_EQ(HexLower("\x0a\xff"), "0aff");
    EXPECT_EQ(DecimalToInt32("512"), 512);
    EXPECT_FALSE(DecimalToInt32("").has_value());
    EXPECT_FALSE(DecimalToInt32("12a").has_value());
    EXPECT_FALSE(DecimalToInt32("99999999999").has_value());
}

} // namespace
} // namespace lumenpost
