#include "delivery/send_mail.h"
#include "delivery/smtp_sender.h"
#include "fake_smtp_server.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using test::FakeSmtpServer;
using test::ReplyByPrefix;

const std::string kGreeting = "220 fake.example ESMTP\r\n";
const std::vector<std::string> kMessage = {"Subject: hello", "", "body"};

bool Deliver(FakeSmtpServer& server, const std::string& recipients = "to@example.org",
             const std::vector<std::string>& lines = kMessage, const std::string& user = "",
             const std::string& password = "") {
    const bool delivered = SendMailLines("Some Name <from@example.org>", recipients,
                                         server.Address(), lines, user, password);
    server.Join();
    return delivered;
}

bool Sent(const FakeSmtpServer& server, const std::string& command) {
    const auto& commands = server.Commands();
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

TEST(SmtpSenderTest, PlainDeliveryDialogue) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix());
    ASSERT_TRUE(Deliver(server));
    const auto& commands = server.Commands();
    ASSERT_EQ(commands.size(), 6U);
    EXPECT_TRUE(commands[0].starts_with("EHLO "));
    EXPECT_EQ(commands[1], "MAIL FROM:<from@example.org>");
    EXPECT_EQ(commands[2], "RCPT TO:<to@example.org>");
    EXPECT_EQ(commands[3], "DATA");
    EXPECT_EQ(commands[4], ".");
    EXPECT_EQ(commands[5], "QUIT");
    EXPECT_EQ(server.DataLines(), kMessage);
}

TEST(SmtpSenderTest, RefusedEhloFallsBackToHeloWithoutExtensions) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"EHLO", "500 what?\r\n"},
                                                    {"HELO", "250-fake\r\n250 SIZE 512\r\n"}}));
    ASSERT_TRUE(Deliver(server));
    EXPECT_TRUE(server.Commands()[1].starts_with("HELO "));
    EXPECT_EQ(server.Commands()[2], "MAIL FROM:<from@example.org>");
}

TEST(SmtpSenderTest, MultiLineGreetingIsReadWhole) {
    FakeSmtpServer server("220-first line\r\n220-second\r\n220 last\r\n", ReplyByPrefix());
    ASSERT_TRUE(Deliver(server));
    EXPECT_TRUE(server.Commands()[0].starts_with("EHLO "));
    EXPECT_FALSE(Sent(server, "HELO"));
}

TEST(SmtpSenderTest, SizeOfferedGivesSizeParameter) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"EHLO", "250-fake.example\r\n250-SIZE 512\r\n"
                                                             "250 relay-host ready\r\n"}}));
    // 14 + 0 + 4 octets of text and three CR LF: dots and the end line do not count.
    ASSERT_TRUE(Deliver(server));
    EXPECT_EQ(server.Commands()[1], "MAIL FROM:<from@example.org> SIZE=24");
}

TEST(SmtpSenderTest, SizeStateAndEnhancedStatusCodes) {
    FakeSmtpServer server(
        kGreeting, ReplyByPrefix({{"EHLO", "250-fake.example\r\n250-size\r\n250 8BITMIME\r\n"},
                                  {"MAIL FROM:", "250 2.1.0 Sender ok\r\n"},
                                  {"RCPT TO:", "250 OK\r\n"}}));
    TSmtpSender smtp;
    smtp.ServerHost = "127.0.0.1";
    smtp.ServerPort = server.Port();
    ASSERT_TRUE(smtp.Start());
    EXPECT_TRUE(smtp.Extended());
    EXPECT_EQ(smtp.Extensions(), (std::vector<std::string>{"size", "8BITMIME"}));
    EXPECT_TRUE(smtp.SizeSupported());
    EXPECT_EQ(smtp.ServerMaxSize(), 0);
    EXPECT_EQ(smtp.FindExtension("8bit"), "8BITMIME");
    EXPECT_TRUE(smtp.SendMailFrom("a@example.org", 100));
    EXPECT_EQ(smtp.StatusClass(), 2);
    EXPECT_EQ(smtp.StatusSubject(), 1);
    EXPECT_EQ(smtp.StatusDetail(), 0);
    EXPECT_TRUE(smtp.SendRcptTo("b@example.org"));
    EXPECT_EQ(smtp.StatusClass(), 0);
    smtp.Finish();
    server.Join();
    EXPECT_EQ(server.Commands()[1], "MAIL FROM:<a@example.org> SIZE=100");
}

TEST(SmtpSenderTest, RecipientAnsweredWith251FailsButQuitIsSent) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"RCPT TO:", "251 will forward\r\n"}}));
    EXPECT_FALSE(Deliver(server));
    EXPECT_FALSE(Sent(server, "DATA"));
    EXPECT_EQ(server.Commands().back(), "QUIT");
}

TEST(SmtpSenderTest, FirstRecipientRefusedStopsTheList) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"RCPT TO:<one@", "550 no such user\r\n"}}));
    EXPECT_FALSE(Deliver(server, "one@example.org, Two <two@example.org>"));
    EXPECT_TRUE(Sent(server, "RCPT TO:<one@example.org>"));
    EXPECT_FALSE(Sent(server, "RCPT TO:<two@example.org>"));
    EXPECT_EQ(server.Commands().back(), "QUIT");
}

TEST(SmtpSenderTest, TwoRecipientsBothAccepted) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix());
    EXPECT_TRUE(Deliver(server, "one@example.org, Two <two@example.org>"));
    EXPECT_TRUE(Sent(server, "RCPT TO:<two@example.org>"));
}

TEST(SmtpSenderTest, DotStuffing) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix());
    const std::vector<std::string> lines = {".", ".hidden", "", "middle.dot", ".."};
    ASSERT_TRUE(Deliver(server, "to@example.org", lines));
    EXPECT_EQ(server.DataLines(),
              (std::vector<std::string>{"..", "..hidden", "", "middle.dot", "..."}));
}

TEST(SmtpSenderTest, CramMd5PreferredOverLogin) {
    // The exchange of RFC 2195.
    int step = 0;
    FakeSmtpServer server(kGreeting, [&step](const std::string& command) -> std::string {
        if (command.starts_with("EHLO")) {
            return "250-fake.example\r\n250 AUTH LOGIN CRAM-MD5\r\n";
        }
        if (command == "AUTH CRAM-MD5") {
            step = 1;
            return "334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n";
        }
        if (step == 1) {
            step = 2;
            return command == "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw" ? "235 ok\r\n"
                                                                                 : "535 bad\r\n";
        }
        return ReplyByPrefix()(command);
    });
    ASSERT_TRUE(Deliver(server, "to@example.org", kMessage, "tim", "tanstaaftanstaaf"));
    EXPECT_TRUE(Sent(server, "AUTH CRAM-MD5"));
    EXPECT_FALSE(Sent(server, "AUTH LOGIN"));
    // After a successful AUTH the client says EHLO once more.
    EXPECT_TRUE(server.Commands()[3].starts_with("EHLO "));
}

TEST(SmtpSenderTest, LoginTriedWhenCramMd5Fails) {
    FakeSmtpServer server(
        kGreeting, ReplyByPrefix({{"EHLO", "250-fake.example\r\n250 AUTH=CRAM-MD5 LOGIN\r\n"},
                                  {"AUTH CRAM-MD5", "504 not today\r\n"},
                                  {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
                                  {"dXNlcg==", "334 UGFzc3dvcmQ6\r\n"},
                                  {"c2VjcmV0", "235 ok\r\n"}}));
    TSmtpSender smtp;
    smtp.ServerHost = "127.0.0.1";
    smtp.ServerPort = server.Port();
    smtp.LoginUser = "user";
    smtp.LoginPassword = "secret";
    ASSERT_TRUE(smtp.Start());
    EXPECT_TRUE(smtp.Authenticated());
    smtp.Finish();
    server.Join();
    EXPECT_TRUE(Sent(server, "AUTH CRAM-MD5"));
    EXPECT_TRUE(Sent(server, "AUTH LOGIN"));
}

TEST(SmtpSenderTest, NoAuthWithoutUserOrPassword) {
    FakeSmtpServer server(
        kGreeting, ReplyByPrefix({{"EHLO", "250-fake.example\r\n250 AUTH LOGIN CRAM-MD5\r\n"}}));
    ASSERT_TRUE(Deliver(server));
    for (const std::string& command : server.Commands()) {
        EXPECT_FALSE(command.starts_with("AUTH")) << command;
    }
}

TEST(SmtpSenderTest, ConnectionDroppedInsideAReplyFails) {
    FakeSmtpServer server(
        kGreeting, ReplyByPrefix({{".", "250-queued as 12345\r\n" + test::kDropConnection}}));
    EXPECT_FALSE(Deliver(server));
}

TEST(SmtpSenderTest, GreetingProblemsEndBeforeEhlo) {
    FakeSmtpServer refusing("554 go away\r\n", ReplyByPrefix());
    EXPECT_FALSE(Deliver(refusing));
    EXPECT_TRUE(refusing.Commands().empty());

    // A reply line beyond 64 KiB fails the reply instead of growing without bound.
    FakeSmtpServer flooding("220 " + std::string(70 * 1024, 'x') + "\r\n", ReplyByPrefix());
    EXPECT_FALSE(Deliver(flooding));
    EXPECT_TRUE(flooding.Commands().empty());
}

TEST(SmtpSenderTest, ReplyLineJustUnderTheLimitIsKept) {
    const std::string line = "250 " + std::string(60 * 1024, 'y');
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"MAIL FROM:", line + "\r\n"}}));
    EXPECT_TRUE(Deliver(server));
}

TEST(SmtpSenderTest, WithHeadersPutsFourHeaderLinesAndABlankInFront) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix());
    ASSERT_TRUE(SendMailWithHeaders("admin@example.org", "Someone <to@example.org>",
                                    "Email Relay Fail Notice", server.Address(), {"text"}, "", ""));
    server.Join();
    const auto& data = server.DataLines();
    ASSERT_EQ(data.size(), 6U);
    EXPECT_EQ(data[0], "from: admin@example.org");
    EXPECT_EQ(data[1], "to: Someone <to@example.org>");
    EXPECT_TRUE(data[2].starts_with("date: ")) << data[2];
    EXPECT_EQ(data[3], "subject: Email Relay Fail Notice");
    EXPECT_EQ(data[4], "");
    EXPECT_EQ(data[5], "text");
    EXPECT_TRUE(Sent(server, "RCPT TO:<to@example.org>"));
}

} // namespace
} // namespace lumenpost
