#include "fake_session.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using testing_support::FakeSession;

// base64 of "secret", and of NUL "user" NUL "secret".
const std::string kSecret = "c2VjcmV0\r\n";
const std::string kPlain = "AHVzZXIAc2VjcmV0";

TEST(AuthDialogueTest, EveryLineOfAnExchangeIsCredentialsExceptQuit) {
    FakeSession s;
    s.Say("HELO client.example\r\n");
    EXPECT_EQ(s.Say("auth login\r\n"), "334 VXNlcm5hbWU6\r\n");
    EXPECT_EQ(s.Say("RSET\r\n"), "334 UGFzc3dvcmQ6\r\n");
    EXPECT_EQ(s.Say(kSecret), "235 OK, go ahead\r\n");
    EXPECT_EQ(s.events.back(), "AuthLogin E!\x13/secret"); // "RSET" decoded as base64
    EXPECT_EQ(s.Say("AUTH PLAIN\r\n"), "334 OK, Go on\r\n");
    EXPECT_EQ(s.Say("word " + kPlain + "\r\n"), "235 OK, go ahead\r\n");
    EXPECT_EQ(s.events.back(), "AuthLogin user/secret");
    s.Say("AUTH LOGIN\r\n");
    EXPECT_EQ(s.Say("QUIT\r\n"), "221 Thanks for using, have a nice day\r\n");
}

TEST(AuthDialogueTest, UnknownMechanismShutsOutUntilAnAuthSucceeds) {
    FakeSession s;
    s.Ehlo();
    s.Say("RCPT TO:<a@b.c>\r\n");
    EXPECT_EQ(s.Say("AUTH LOGIN dXNlcg==\r\n"), "504 AUTH type not implemented\r\n");
    EXPECT_FALSE(s.session.Esmtp);
    EXPECT_FALSE(s.session.LoggedIn);
    EXPECT_EQ(s.Say("auth plain " + kPlain + "\r\n"), "235 OK, go ahead\r\n");
    EXPECT_TRUE(s.session.Recipients.empty());
    EXPECT_EQ(s.Say("NOOP\r\n"), "250 OK\r\n");
}

TEST(AuthDialogueTest, RefusedCredentialsCloseTheSession) {
    FakeSession s;
    s.Ehlo();
    s.onAuthLogin = [](std::string& answer, bool& close) {
        answer = "535 go away";
        close = true;
    };
    EXPECT_EQ(s.Say("AUTH PLAIN " + kPlain + "\r\n"), "535 go away\r\n");
    EXPECT_EQ(s.session.SessionState, TSmtpSessionState::ssClosing);
    EXPECT_TRUE(s.disconnectRequested);
    EXPECT_EQ(s.Say("NOOP\r\n"), "");
}

} // namespace
} // namespace lumenpost
