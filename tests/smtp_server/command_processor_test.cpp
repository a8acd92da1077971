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
    EXPECT_TRUE(s.closeRequested);
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

struct PathCase {
    std::string command;
    std::string reply;  // without its line end
    std::string handed; // the address the handler got; empty: no event
};

// Every path reaches the application exactly as written, or is refused with no event.
TEST(CommandProcessorTest, PathsAreKeptExactlyOrRefused) {
    const std::string syntax = "501 Syntax Error in parameters";
    const std::string unsupported =
        "555 MAIL FROM/RCPT TO parameters not recognized or not implemented";
    const std::vector<PathCase> cases = {
        {"MAIL FROM:<alice+news@src.test>", "250 OK Sender \"alice+news@src.test\" is allowed",
         "MailFrom alice+news@src.test"},
        {"MAIL FROM:<>", "250 OK Sender \"\" is allowed", "MailFrom "},
        {"MAIL FROM:<o'brien@src.test> BODY=8BITMIME SIZE=10",
         "250 OK Sender \"o'brien@src.test\" is allowed", "MailFrom o'brien@src.test"},
        {"MAIL FROM:<a@src.test> RET=HDRS", unsupported, ""},
        {"MAIL FROM:<jos\xC3\xA9@src.test>", syntax, ""},
        {"RCPT TO:<\"john smith\"@dest.test>",
         "250 OK Send to <\"john smith\"@dest.test> is allowed", "MailTo \"john smith\"@dest.test"},
        {"RCPT TO:<o'brien@dest.test>", "250 OK Send to <o'brien@dest.test> is allowed",
         "MailTo o'brien@dest.test"},
        {"RCPT TO:<x@[192.0.2.1]>", "250 OK Send to <x@[192.0.2.1]> is allowed",
         "MailTo x@[192.0.2.1]"},
        {"RCPT TO:<x@[IPv6:2001:db8::1]>", "250 OK Send to <x@[IPv6:2001:db8::1]> is allowed",
         "MailTo x@[IPv6:2001:db8::1]"},
        {"RCPT TO:<jos\xC3\xA9@dest.test>", syntax, ""},
        {"RCPT TO:<a\x01b@dest.test>", syntax, ""},
        {"RCPT TO:<" + std::string(65, 'l') + "@dest.test>", syntax, ""},
        {"RCPT TO:<a@dest.test> NOTIFY=NEVER", unsupported, ""},
        {"RCPT TO:<a@dest.test", syntax, ""},
        {"RCPT TO:<>", "503 Bad sequence of commands (missing Adress)", ""},
    };
    for (const PathCase& c : cases) {
        FakeSession s;
        s.Ehlo();
        const std::size_t before = s.events.size();
        EXPECT_EQ(s.Say(c.command + "\r\n"), c.reply + "\r\n") << c.command;
        EXPECT_EQ(s.events.size() > before ? s.events.back() : std::string(), c.handed)
            << c.command;
    }
    // With SMTPUTF8 on MAIL, UTF-8 addresses are valid for that transaction only.
    FakeSession s;
    s.Ehlo();
    EXPECT_EQ(s.Say("MAIL FROM:<jos\xC3\xA9@src.test> SMTPUTF8\r\n").substr(0, 3), "250");
    EXPECT_EQ(s.Say("RCPT TO:<\xE7\x94\xA8@dest.test>\r\n").substr(0, 3), "250");
    s.Say("RSET\r\n");
    EXPECT_EQ(s.Say("RCPT TO:<\xE7\x94\xA8@dest.test>\r\n"), syntax + "\r\n");
}

TEST(CommandProcessorTest, HeloNamesLoseControlCharacters) {
    FakeSession s;
    EXPECT_EQ(s.Say("HELO evil\x1b[2J.example\r\n"),
              "250 SMTP peer.example (127.0.0.1), pleased to meet you\r\n");
    EXPECT_EQ(s.session.HeloName, "evil[2J.example");
}

TEST(CommandProcessorTest, RecipientsAndTheirLimitBelongToOneTransaction) {
    FakeSession s;
    s.Ehlo();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(s.Say("RCPT TO:<r" + std::to_string(i) + "@d.e>\r\n").substr(0, 3), "250");
    }
    EXPECT_EQ(s.Say("RCPT TO:<late@d.e>\r\n"), "552 Too many recipients\r\n");
    // A new MAIL starts a new transaction: the count and the list start again.
    EXPECT_EQ(s.Say("MAIL FROM:<s@d.e>\r\n").substr(0, 3), "250");
    EXPECT_TRUE(s.session.Recipients.empty());
    EXPECT_EQ(s.Say("DATA\r\n"), "554 Transaction failed (invalid MAIL/RCPT or DATA)\r\n");
    EXPECT_EQ(s.Say("RCPT TO:<late@d.e>\r\n"), "250 OK Send to <late@d.e> is allowed\r\n");
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
    EXPECT_FALSE(s.closeRequested);
}

const std::string kTooBig = "552 Message size exceeds fixed maximum message size\r\n";

TEST(CommandProcessorTest, EhloAdvertisesItsExtensionsAndSizeOnlyWithALimit) {
    const std::string meeting = "peer.example (127.0.0.1), pleased to meet you\r\n";
    FakeSession unlimited;
    EXPECT_EQ(unlimited.Ehlo(), "250-ESMTP " + meeting +
                                    "250-8BITMIME\r\n250-PIPELINING\r\n"
                                    "250-SMTPUTF8\r\n250 AUTH LOGIN PLAIN\r\n");

    FakeSession limited;
    limited.messageSizeLimit = 1048576;
    EXPECT_EQ(limited.Ehlo(), "250-ESMTP " + meeting +
                                  "250-8BITMIME\r\n250-PIPELINING\r\n250-SIZE 1048576\r\n"
                                  "250-SMTPUTF8\r\n250 AUTH LOGIN PLAIN\r\n");
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

    // At the limit, and with other parameters, the address stays as written.
    EXPECT_EQ(s.Say("MAIL FROM:<a+x@b.c> SIZE=100\r\n"),
              "250 OK Sender \"a+x@b.c\" is allowed\r\n");
    EXPECT_EQ(s.Say("MAIL FROM:<c@d.e> BODY=8BITMIME SIZE=abc\r\n"),
              "501 Syntax Error in parameters\r\n");
    EXPECT_EQ(s.events.back(), "MailFrom a+x@b.c");
    EXPECT_EQ(s.session.MailFrom, "a+x@b.c");
    // Without angle brackets the path ends at the first blank.
    EXPECT_EQ(s.Say("MAIL FROM:c@d.e SIZE=500\r\n"), kTooBig);

    FakeSession unlimited;
    unlimited.Ehlo();
    EXPECT_EQ(unlimited.Say("MAIL FROM:<a@b.c> SIZE=99999999\r\n"),
              "250 OK Sender \"a@b.c\" is allowed\r\n");
}

} // namespace
} // namespace lumenpost
