#include "smtp_server/mail_address.h"
#include "smtp_server/mail_parameters.h"

#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace lumenpost {
namespace {

TEST(MailParametersTest, PathEndsAtTheClosingBracketOutsideQuotes) {
    const auto split = SplitPathArgument("<a@b.c> SIZE=10 BODY=8BITMIME");
    ASSERT_TRUE(split);
    EXPECT_EQ(split->address, "a@b.c");
    ASSERT_EQ(split->parameters.size(), 2u);
    EXPECT_EQ(split->parameters[0].keyword, "SIZE");
    EXPECT_EQ(split->parameters[0].value, "10");
    EXPECT_EQ(split->parameters[1].value, "8BITMIME");
    EXPECT_EQ(SplitPathArgument("<\"a>b\"@c.d>")->address, "\"a>b\"@c.d");
    EXPECT_EQ(SplitPathArgument("<>")->address, "");
    const auto bare = SplitPathArgument("a@b.c SMTPUTF8");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->address, "a@b.c");
    EXPECT_EQ(bare->parameters[0].value, std::nullopt);
    // Brackets that do not close, no blank before a parameter, a parameter with a blank
    // value or a bad keyword, a path over 256 octets: no argument at all.
    for (const std::string& bad : std::initializer_list<std::string>{
             "<a@b.c", "<a@b.c>SIZE=1", "<a@b.c> SIZE=", "<a@b.c> -X", "<a@b.c> S_Z=1",
             "<" + std::string(250, 'a') + "@b.cc>"}) {
        EXPECT_FALSE(SplitPathArgument(bad)) << bad;
    }
}

MailOptions Read(std::string_view parameters, ParameterProblem expected) {
    const std::string argument = "<a@b.c> " + std::string(parameters); // the views point here
    const auto split = SplitPathArgument(argument);
    MailOptions options;
    EXPECT_TRUE(split) << parameters;
    if (split) {
        EXPECT_EQ(ReadMailParameters(split->parameters, options), expected) << parameters;
    }
    return options;
}

TEST(MailParametersTest, MailTakesSizeBodySmtpUtf8AndAuthOnce) {
    const MailOptions options =
        Read("size=2048 BODY=8bitmime SMTPUTF8 AUTH=<>", ParameterProblem::none);
    EXPECT_EQ(options.size, 2048u);
    EXPECT_TRUE(options.utf8);
    EXPECT_EQ(Read("SIZE=99999999999999999999999", ParameterProblem::none).size,
              std::numeric_limits<std::uint64_t>::max());
    for (const char* malformed : {"SIZE=12a", "SIZE=-1", "SIZE", "SIZE=1 SIZE=2", "BODY",
                                  "SMTPUTF8=yes", "BODY=7BIT BODY=7BIT"}) {
        Read(malformed, ParameterProblem::malformed);
    }
    for (const char* unsupported : {"BODY=BINARYMIME", "RET=HDRS", "XFORWARD=1"}) {
        Read(unsupported, ParameterProblem::unsupported);
    }
}

TEST(MailAddressTest, MailboxesFollowTheGrammarAndItsLimits) {
    for (const std::string& good : std::initializer_list<std::string>{
             "alice+news@dest.test", "o'brien@dest.test", "\"john smith\"@dest.test",
             "\"a\\\"b@c\"@dest.test", "x@[192.0.2.1]", "x@[IPv6:2001:db8::1]", "a.b-c@d-e.f",
             std::string(64, 'l') + "@d.test", "{#}~!$%&*=?^`|/@d.test"}) {
        EXPECT_TRUE(IsMailbox(good, false)) << good;
    }
    for (const std::string& bad : std::initializer_list<std::string>{
             "josé@dest.test", "nobody", "@dest.test", "a@", ".a@d.test", "a.@d.test",
             "a..b@d.test", "a b@d.test", "a\x01@d.test", "\"a\x7f\"@d.test", "a@-d.test",
             "a@d-.test", "a@d..test", "a@[192.0.2.256]", "a@[1.2.3]", "a@[IPv6:zz::1]",
             "a@[tag:x]", std::string(65, 'l') + "@d.test",
             "a@" + std::string(64, 'd') + ".test"}) {
        EXPECT_FALSE(IsMailbox(bad, false)) << bad;
    }
    // With SMTPUTF8: well-formed UTF-8 only.
    EXPECT_TRUE(IsMailbox("josé@dest.test", true));
    EXPECT_TRUE(IsMailbox("用户@例子.测试", true));
    EXPECT_FALSE(IsMailbox("jos\xE9@dest.test", true));       // Latin-1, not UTF-8
    EXPECT_FALSE(IsMailbox("a\xC0\xAF@dest.test", true));     // overlong
    EXPECT_FALSE(IsMailbox("a\xED\xA0\x80@dest.test", true)); // surrogate
    EXPECT_EQ(MailboxDomain("\"a@b\"@dest.test"), "dest.test");
}

} // namespace
} // namespace lumenpost
