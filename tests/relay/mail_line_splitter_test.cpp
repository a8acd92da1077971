#include "relay/mail_line_splitter.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

MailLineList SplitWhole(std::string_view data) {
    MailLineSplitter splitter;
    splitter.AddBlock(data);
    return splitter.Finish();
}

TEST(MailLineSplitterTest, EveryCutOfTheMessageGivesTheSameLines) {
    const std::string message =
        "Subject: hi\r\n\r\nline one\r\n.\r\nbare lf\nbare cr\rend\r\n.\r\n";
    const MailLineList expected = {"Subject: hi", "", "line one", ".", "bare lf", "bare cr", "end"};
    ASSERT_EQ(SplitWhole(message), expected);
    for (std::size_t cut = 0; cut <= message.size(); ++cut) {
        for (std::size_t cut2 = cut; cut2 <= message.size(); cut2 += 7) {
            MailLineSplitter splitter;
            splitter.AddBlock(std::string_view(message).substr(0, cut));
            splitter.AddBlock(std::string_view(message).substr(cut, cut2 - cut));
            splitter.AddBlock(std::string_view(message).substr(cut2));
            EXPECT_EQ(splitter.Finish(), expected) << "cuts at " << cut << " and " << cut2;
        }
    }
}

TEST(MailLineSplitterTest, LineEndsOfEveryKindEndOneLineEach) {
    EXPECT_EQ(SplitWhole("a\r\rb\n\nc\r\n.\r\n"), (MailLineList{"a", "", "b", "", "c"}));
    EXPECT_EQ(SplitWhole("a\n\r\n.\r\n"), (MailLineList{"a", ""}));
}

TEST(MailLineSplitterTest, OnlyTheFinalDotLineIsTheEndLine) {
    EXPECT_EQ(SplitWhole(".\r\n"), MailLineList{});
    EXPECT_EQ(SplitWhole(".\r\n.\r\n"), MailLineList{"."});
    EXPECT_EQ(SplitWhole("..\r\n.\r\n"), MailLineList{".."});
    // Without an end line the last text is a message line, dot or not.
    EXPECT_EQ(SplitWhole("x\r\n."), (MailLineList{"x", "."}));
}

TEST(MailLineSplitterTest, FinishStartsAFreshMessage) {
    MailLineSplitter splitter;
    splitter.AddBlock("first\r");
    EXPECT_EQ(splitter.Finish(), MailLineList{"first"});
    splitter.AddBlock("\nsecond\r\n.\r\n");
    EXPECT_EQ(splitter.Finish(), (MailLineList{"", "second"}));
}

} // namespace
} // namespace lumenpost
