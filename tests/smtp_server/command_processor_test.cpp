#include "dialogue_script.h"
#include "fake_session.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using testing_support::FakeSession;

TEST(CommandProcessorTest, WalksTheWholeDialogue) {
    FakeSession s;
    for (const auto& step : testing_support::WholeDialogue("peer.example", "127.0.0.1")) {
        EXPECT_EQ(s.Say(step.send), step.expect) << "after " << step.send;
    }
    EXPECT_EQ(s.session.SessionState, TSmtpSessionState::ssClosing);
    EXPECT_TRUE(s.sendingShutDown);
    EXPECT_EQ(s.session.MailFrom, "");
    EXPECT_EQ(s.events.back(), "Quit");
    // The QUIT inside the message was data, not a command.
    EXPECT_EQ(std::count(s.events.begin(), s.events.end(), "Quit"), 1);
    // Another QUIT is still answered.
    EXPECT_EQ(s.Say("QUIT\r\n"), "221 Thanks for using, have a nice day\r\n");
}

TEST(CommandProcessorTest, HandlerAnswersReplaceTheDefaults) {
    FakeSession s;
    s.onUsername = [](std::string& answer, bool&) { answer = "250 welcome"; };
    EXPECT_EQ(s.Ehlo(), "250 welcome\r\n");
    s.onMailFrom = [](std::string& answer) { answer = "  451 later \r\n"; };
    EXPECT_EQ(s.Say("MAIL FROM:<a@b.c>\r\n"), "451 later\r\n");
    EXPECT_EQ(s.session.MailFrom, "a@b.c"); // stored whatever the answer says

    s.onMailTo = [](std::string& answer) { answer = "550 no"; };
    EXPECT_EQ(s.Say("RCPT TO:<x@y.z>\r\n"), "550 no\r\n");
    s.onMailTo = [](std::string& answer) { answer.clear(); };
    EXPECT_EQ(s.Say("RCPT TO:<x@y.z>\r\n"), "\r\n");
    EXPECT_TRUE(s.session.Recipients.empty());

    s.onVerifyUser = [](bool& known, std::string& mailAddr) {
        known = true;
        mailAddr = "<pm@y.z>";
    };
    EXPECT_EQ(s.Say("VRFY pm\r\n"), "250 OK <pm@y.z>\r\n");
    s.onQuit = [](std::string& answer) { answer = "221 bye"; };
    EXPECT_EQ(s.Say("QUIT\r\n"), "221 bye\r\n");
}

TEST(CommandProcessorTest, UnknownCommandHandlerSeesTheWholeLine) {
    FakeSession s;
    s.Ehlo();
    s.Say("FOO bar\r\n");
    EXPECT_EQ(s.events.back(), "UnknownCmd FOO bar\r\n");
    s.Say("HELP mail \r\n");
    EXPECT_EQ(s.events.back(), "Help mail");
}

TEST(CommandProcessorTest, RecipientLimitCountsSinceTheLastReset) {
    FakeSession s;
    s.Ehlo();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(s.Say("RCPT TO:<r" + std::to_string(i) + "@d.e>\r\n").substr(0, 3), "250");
    }
    EXPECT_EQ(s.Say("RCPT TO:<late@d.e>\r\n"), "552 Too many recipients\r\n");
    EXPECT_EQ(s.session.Recipients.size(), 100u);
    s.Say("RSET\r\n");
    EXPECT_EQ(s.Say("RCPT TO:<late@d.e>\r\n"), "250 OK Send to <late@d.e> is allowed\r\n");
}

TEST(CommandProcessorTest, RepliesToAClosedConnectionAreDroppedButStateMoves) {
    FakeSession s;
    s.Ehlo();
    s.connected = false;
    EXPECT_EQ(s.Say("QUIT\r\n"), "");
    EXPECT_EQ(s.session.SessionState, TSmtpSessionState::ssClosing);
    EXPECT_FALSE(s.sendingShutDown);
}

const std::string kTooBig = "552 Message size exceeds fixed maximum message size\r\n";

TEST(CommandProcessorTest, EhloAdvertisesSizeBeforeAuthOnlyWithALimit) {
    const std::string meeting = "peer.example (127.0.0.1), pleased to meet you\r\n";
    FakeSession unlimited;
    EXPECT_EQ(unlimited.Ehlo(), "250-ESMTP " + meeting + "250 AUTH LOGIN PLAIN\r\n");

    FakeSession limited;
    limited.messageSizeLimit = 1048576;
    EXPECT_EQ(limited.Ehlo(),
              "250-ESMTP " + meeting + "250-SIZE 1048576\r\n250 AUTH LOGIN PLAIN\r\n");
    FakeSession helo;
    helo.messageSizeLimit = 1048576;
    EXPECT_EQ(helo.Say("HELO client.example\r\n"), "250 SMTP " + meeting);
    FakeSession answered;
    answered.messageSizeLimit = 1048576;
    answered.onUsername = [](std::string& answer, bool&) { answer = "250 welcome"; };
    EXPECT_EQ(answered.Ehlo(), "250 welcome\r\n");
}

TEST(CommandProcessorTest, DeclaredSizeOverTheLimitRefusesTheSender) {
    FakeSession s;
    s.messageSizeLimit = 100;
    s.Ehlo();
    EXPECT_EQ(s.Say("MAIL FROM:<first@b.c>\r\n"), "250 OK Sender \"first@b.c\" is allowed\r\n");
    const std::size_t eventsBefore = s.events.size();
    EXPECT_EQ(s.Say("MAIL FROM:<a@b.c> SIZE=101\r\n"), kTooBig);
    EXPECT_EQ(s.Say("MAIL FROM:<a@b.c> BODY=8BITMIME size=99999999999999999999\r\n"), kTooBig);
    EXPECT_EQ(s.events.size(), eventsBefore); // OnMailFrom not raised
    EXPECT_EQ(s.session.MailFrom, "first@b.c");

    // At the limit, and with other parameters, the address stays clean.
    EXPECT_EQ(s.Say("MAIL FROM:<a+x@b.c> SIZE=100\r\n"), "250 OK Sender \"ax@b.c\" is allowed\r\n");
    EXPECT_EQ(s.Say("MAIL FROM:<c@d.e> BODY=8BITMIME SIZE=abc\r\n"),
              "250 OK Sender \"c@d.e\" is allowed\r\n");
    EXPECT_EQ(s.events.back(), "MailFrom c@d.e");
    EXPECT_EQ(s.session.MailFrom, "c@d.e");
    // Without angle brackets nothing is read as a parameter.
    EXPECT_EQ(s.Say("MAIL FROM:c@d.e SIZE=500\r\n").substr(0, 3), "250");

    FakeSession unlimited;
    unlimited.Ehlo();
    EXPECT_EQ(unlimited.Say("MAIL FROM:<a@b.c> SIZE=99999999\r\n"),
              "250 OK Sender \"a@b.c\" is allowed\r\n");
}

} // namespace
} // namespace lumenpost
