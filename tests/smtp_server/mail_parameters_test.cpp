#include "smtp_server/mail_parameters.h"

#include <gtest/gtest.h>
#include <limits>

namespace lumenpost {
namespace {

TEST(MailParametersTest, PathEndsAtTheFirstClosingBracket) {
    const MailArgument split = SplitMailArgument("<a@b.c> SIZE=10 BODY=8BITMIME\r\n");
    EXPECT_EQ(split.path, "<a@b.c>");
    EXPECT_EQ(split.parameters, " SIZE=10 BODY=8BITMIME\r\n");
    EXPECT_EQ(SplitMailArgument("<a>b@c.d> SIZE=1").path, "<a>");
    const MailArgument bare = SplitMailArgument(" a@b.c SIZE=10\r\n");
    EXPECT_EQ(bare.path, " a@b.c SIZE=10\r\n"); // without a bracket all of it is the path
    EXPECT_EQ(bare.parameters, "");
}

TEST(MailParametersTest, SizeIsTheFirstWellFormedSizeWord) {
    EXPECT_EQ(DeclaredSize(" SIZE=10\r\n"), 10u);
    EXPECT_EQ(DeclaredSize(" BODY=8BITMIME\tsize=2048 SIZE=5"), 2048u);
    EXPECT_EQ(DeclaredSize(" SIZE= SIZE=12a SIZE=-1 SIZE=+3 SIZE=7"), 7u);
    EXPECT_EQ(DeclaredSize(" SIZE=99999999999999999999999"),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(DeclaredSize(" XSIZE=10 SIZE =10 SIZE"), std::nullopt);
    EXPECT_EQ(DeclaredSize(""), std::nullopt);
}

} // namespace
} // namespace lumenpost
