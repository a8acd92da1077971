#include "relay/mail_line_splitter.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

std::string SplitWhole(std::string_view data) {
    MailLineSplitter splitter;
    std::string text = splitter.AddBlock(data);
    return text + splitter.Finish();
}

TEST(MailLineSplitterTest, EveryCutOfTheMessageGivesTheSameText) {
    const std::string message =
        "Subject: hi\r\n\r\nline one\r\n.\r\nbare lf\nbare cr\rend\r\n.\r\n";
    const std::string expected =
        "Subject: hi\r\n\r\nline one\r\n.\r\nbare lf\r\nbare cr\r\nend\r\n";
    ASSERT_EQ(SplitWhole(message), expected);
    for (std::size_t cut = 0; cut <= message.size(); ++cut) {
        for (std::size_t cut2 = cut; cut2 <= message.size(); cut2 += 7) {
            MailLineSplitter splitter;
            std::string text = splitter.AddBlock(std::string_view(message).substr(0, cut));
            text += splitter.AddBlock(std::string_view(message).substr(cut, cut2 - cut));
            text += splitter.AddBlock(std::string_view(message).substr(cut2));
            text += splitter.Finish();
            EXPECT_EQ(text, expected) << "cuts at " << cut << " and " << cut2;
        }
    }
}

TEST(MailLineSplitterTest, LineEndsOfEveryKindEndOneLineEach) {
    EXPECT_EQ(SplitWhole("a\r\rb\n\nc\r\n.\r\n"), "a\r\n\r\nb\r\n\r\nc\r\n");
    EXPECT_EQ(SplitWhole("a\n\r\n.\r\n"), "a\r\n\r\n");
}

TEST(MailLineSplitterTest, OnlyTheFinalDotLineIsTheEndLine) {
    EXPECT_EQ(SplitWhole(".\r\n"), "");
    EXPECT_EQ(SplitWhole(".\r\n.\r\n"), ".\r\n");
    EXPECT_EQ(SplitWhole("..\r\n.\r\n"), "..\r\n");
    EXPECT_EQ(SplitWhole(".x\r\n.\r\n"), ".x\r\n");
    // Without an end line the last text is a message line, dot or not.
    EXPECT_EQ(SplitWhole("x\r\n."), "x\r\n.\r\n");
    EXPECT_EQ(SplitWhole("x"), "x\r\n");
}

TEST(MailLineSplitterTest, TextIsHandedOnAsItComesAndFinishStartsAFreshMessage) {
    MailLineSplitter splitter;
    // Nothing but a possible end line is held back, however long the line.
    EXPECT_EQ(splitter.AddBlock(std::string(100000, 'x')), std::string(100000, 'x'));
    EXPECT_EQ(splitter.AddBlock("\r\n."), "\r\n");
    EXPECT_EQ(splitter.AddBlock("\r\n"), "");
    EXPECT_EQ(splitter.AddBlock("y"), ".\r\ny");
    EXPECT_EQ(splitter.Finish(), "\r\n");
    EXPECT_EQ(splitter.AddBlock("first\r"), "first\r\n");
    EXPECT_EQ(splitter.Finish(), "");
    EXPECT_EQ(splitter.AddBlock("\nsecond\r\n.\r\n"), "\r\nsecond\r\n");
    EXPECT_EQ(splitter.Finish(), "");
}

} // namespace
} // namespace lumenpost
