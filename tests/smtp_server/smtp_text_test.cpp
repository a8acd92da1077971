#include "smtp_server/auth_credentials.h"
#include "smtp_server/base64.h"
#include "smtp_server/smtp_text.h"

#include <gtest/gtest.h>

namespace lumenpost {

using namespace smtp_text;
namespace {

using namespace std::string_literals;

TEST(SmtpTextTest, VerbEndsAtBlankOrLineEndButNotAtTab) {
    EXPECT_EQ(ExtractVerb("helo x\r\n"), "HELO");
    EXPECT_EQ(ExtractVerb("QUIT\r\n"), "QUIT");
    EXPECT_EQ(ExtractVerb(" HELO x"), "");
    EXPECT_EQ(ExtractVerb("MAIL\tFROM:<a>"), "MAIL\tFROM:<A>");
    EXPECT_EQ(ExtractVerb(""), "");
}

TEST(SmtpTextTest, NthFieldCountsSeparators) {
    EXPECT_EQ(NthField("a@b.c@d", '@', 0), "a");
    EXPECT_EQ(NthField("a@b.c@d", '@', 1), "b.c");
    EXPECT_EQ(NthField("a@b.c@d", '@', 2), "d");
    EXPECT_EQ(NthField("a@b.c", '@', 2), "");
    EXPECT_EQ(NthField("abc", '@', 0), "abc");
    EXPECT_EQ(NthField("abc", '@', 1), "");
}

TEST(SmtpTextTest, LineEndsAreDroppedOnce) {
    EXPECT_EQ(StripLineEnd(" ab \r\n"), "ab");
    EXPECT_EQ(DropOneLineEnd("a\r\n\r\n"), "a\r\n");
}

TEST(Base64Test, DecodesStandardTextAndKeepsNuls) {
    EXPECT_EQ(Base64Decode("VXNlcm5hbWU6"), "Username:");
    EXPECT_EQ(Base64Decode("UGFzc3dvcmQ6"), "Password:");
    EXPECT_EQ(Base64Decode("AHVzZXIAc2VjcmV0"), "\0user\0secret"s);
    EXPECT_EQ(Base64Decode("YQ=="), "a");
    EXPECT_EQ(Base64Decode("YWI="), "ab");
    EXPECT_EQ(Base64Decode("+/+/"), "\xFB\xFF\xBF");
}

TEST(Base64Test, NeverRejectsMalformedInput) {
    // Characters outside the alphabet count as "/" (63).
    EXPECT_EQ(Base64Decode("!!!!"), Base64Decode("////"));
    EXPECT_EQ(Base64Decode("YWI"), "ab");
    EXPECT_EQ(Base64Decode("YWJjZ"), "abc");
    EXPECT_EQ(Base64Decode(""), "");
}

TEST(AuthCredentialsTest, SplitsPlainCredentials) {
    EXPECT_EQ(NulsToBlanks("\0user\0pass"s), "user pass");
    const Credentials plain = SplitCredentials("\0user\0 secret word "s);
    EXPECT_EQ(plain.user, "user");
    EXPECT_EQ(plain.password, "secret word");
    const Credentials withIdentity = SplitCredentials("admin\0user\0pass"s);
    EXPECT_EQ(withIdentity.user, "admin");
    EXPECT_EQ(withIdentity.password, "user pass");
    const Credentials noBlank = SplitCredentials("xsecret");
    EXPECT_EQ(noBlank.user, "");
    EXPECT_EQ(noBlank.password, "secret");
    EXPECT_EQ(SplitCredentials("").password, "");
}

} // namespace
} // namespace lumenpost
