#include "fake_session.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using testing_support::FakeSession;

// base64 of "user", "secret", and of NUL "user" NUL "secret".
const std::string kUser = "dXNlcg==\r\n";
const std::string kSecret = "c2VjcmV0\r\n";
const std::string kPlain = "AHVzZXIAc2VjcmV0";

TEST(AuthDialogueTest, LoginAsksForUserAndPassword) {
    FakeSession s;
    s.Say("HELO client.example\r\n");
    EXPECT_EQ(s.Say("auth login\r\n"), "334 VXNlcm5hbWU6\r\n");
    EXPECT_EQ(s.Say("RSET\r\n"), "334 UGFzc3dvcmQ6\r\n"); // taken as the user name
    EXPECT_EQ(s.Say(kSecret), "235 OK, go ahead\r\n");
    EXPECT_EQ(s.events.back(), "AuthLogin E!\x13/secret");
    EXPECT_EQ(s.Say("AUTH LOGIN\r\n"), "334 VXNlcm5hbWU6\r\n");
    s.Say(kUser);
    s.Say(kSecret);
    EXPECT_EQ(s.session.AuthUser, "user");
    EXPECT_EQ(s.session.AuthPassword, "secret");
    EXPECT_TRUE(s.session.LoggedIn);
}

TEST(AuthDialogueTest, PlainOnOneLineOrInTwoSteps) {
    FakeSession s;
    s.Ehlo();
    EXPECT_EQ(s.Say("AUTH PLAIN " + kPlain + "\r\n"), "235 OK, go ahead\r\n");
    EXPECT_EQ(s.events.back(), "AuthLogin user/secret");
    EXPECT_EQ(s.Say("AUTH PLAIN\r\n"), "334 OK, Go on\r\n");
    EXPECT_EQ(s.Say(kPlain + "\r\n"), "235 OK, go ahead\r\n");
    EXPECT_EQ(s.Say("AUTH PLAIN\r\n"), "334 OK, Go on\r\n");
    EXPECT_EQ(s.Say("word " + kPlain + "\r\n"), "235 OK, go ahead\r\n");
    EXPECT_EQ(s.events.back(), "AuthLogin user/secret");
}

TEST(AuthDialogueTest, UnknownMechanismShutsOutUntilAnAuthSucceeds) {
    FakeSession s;
    s.Ehlo();
    s.Say("RCPT TO:<a@b.c>\r\n");
    EXPECT_EQ(s.Say("AUTH CRAM-MD5\r\n"), "504 AUTH type not implemented\r\n");
    EXPECT_EQ(s.Say("AUTH LOGIN " + kUser), "504 AUTH type not implemented\r\n");
    EXPECT_FALSE(s.session.Esmtp);
    s.Say("AUTH LOGIN\r\n");
    s.Say(kUser);
    EXPECT_EQ(s.Say(kSecret), "235 OK, go ahead\r\n");
    EXPECT_TRUE(s.session.Recipients.empty());
    EXPECT_EQ(s.Say("NOOP\r\n"), "250 OK\r\n");
}

TEST(AuthDialogueTest, RefusedCredentialsCloseTheSession) {
    FakeSession s;
    s.Ehlo();
    s.onAuthLogin = [](std::string&, bool& close) { close = true; };
    EXPECT_EQ(s.Say("AUTH PLAIN " + kPlain + "\r\n"), "535 Authorization failed\r\n");
    EXPECT_FALSE(s.session.LoggedIn);
    EXPECT_EQ(s.session.SessionState, TSmtpSessionState::ssClosing);
    EXPECT_TRUE(s.disconnectRequested);
    EXPECT_EQ(s.Say("NOOP\r\n"), "");
}

TEST(AuthDialogueTest, QuitInterruptsAnExchange) {
    FakeSession s;
    s.Ehlo();
    s.Say("AUTH LOGIN\r\n");
    EXPECT_EQ(s.Say("QUIT\r\n"), "221 Thanks for using, have a nice day\r\n");
}

} // namespace
} // namespace lumenpost
