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

TEST(SmtpSenderTest, SizeOfferedGivesSizeParameterAndEnhancedStatusIsRead) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"EHLO", "250-fake.example\r\n250-SIZE 512\r\n"
                                                             "250 relay-host ready\r\n"},
                                                    {"MAIL FROM:", "250 2.1.0 Sender ok\r\n"}}));
    TSmtpSender smtp;
    smtp.ServerHost = "127.0.0.1";
    smtp.ServerPort = server.Port();
    ASSERT_TRUE(smtp.Start());
    EXPECT_EQ(smtp.Extensions(), (std::vector<std::string>{"SIZE 512", "relay-host ready"}));
    EXPECT_EQ(smtp.ServerMaxSize(), 512);
    // The size is sent even above the server's maximum.
    EXPECT_TRUE(smtp.SendMailFrom("from@example.org", 1000));
    EXPECT_EQ(smtp.StatusClass(), 2);
    EXPECT_EQ(smtp.StatusSubject(), 1);
    EXPECT_EQ(smtp.StatusDetail(), 0);
    EXPECT_TRUE(smtp.SendRcptTo("to@example.org"));
    EXPECT_EQ(smtp.StatusClass(), 0);
    smtp.Finish();
    server.Join();
    EXPECT_EQ(server.Commands()[1], "MAIL FROM:<from@example.org> SIZE=1000");
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

TEST(SmtpSenderTest, DotStuffedDelivery) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"EHLO", "250-fake\r\n250 SIZE\r\n"}}));
    const std::vector<std::string> lines = {".", ".hidden", "", "middle.dot", ".."};
    ASSERT_TRUE(Deliver(server, "to@example.org", lines));
    // Text 20 octets and five CR LF: the doubled dots and the end line do not count.
    EXPECT_EQ(server.Commands()[1], "MAIL FROM:<from@example.org> SIZE=30");
    EXPECT_EQ(server.Commands()[2], "RCPT TO:<to@example.org>");
    EXPECT_EQ(server.Commands().back(), "QUIT");
    EXPECT_EQ(server.DataLines(),
              (std::vector<std::string>{"..", "..hidden", "", "middle.dot", "..."}));
}

TEST(SmtpSenderTest, MessageLargerThanOneWriteArrivesWhole) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({}));
    std::vector<std::string> lines;
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        // Lines of odd lengths, some dotted, so that writes end inside lines.
        std::string line = (i % 7 == 0 ? "." : "") + std::string(997 + i % 5, 'a' + i % 26);
        expected.push_back(line.starts_with('.') ? "." + line : line);
        lines.push_back(std::move(line));
    }
    ASSERT_TRUE(Deliver(server, "to@example.org", lines));
    EXPECT_EQ(server.DataLines(), expected);
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

    std::string endless;
    for (int i = 0; i < 1200; ++i) {
        endless += "220-more\r\n";
    }
    FakeSmtpServer talking(endless + "220 done\r\n", ReplyByPrefix());
    EXPECT_FALSE(Deliver(talking));
    EXPECT_TRUE(talking.Commands().empty());
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

TEST(SmtpSenderTest, ExtensionsAreMatchedByWholeKeyword) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"EHLO", "250-fake.example\r\n250-SIZEX 5\r\n"
                                                             "250-8bitmime\r\n250-AUTH=LOGIN\r\n"
                                                             "250 SIZE 9000000000\r\n"}}));
    TSmtpSender smtp;
    smtp.ServerHost = "127.0.0.1";
    smtp.ServerPort = server.Port();
    smtp.EhloName = "client.example";
    ASSERT_TRUE(smtp.Start());
    EXPECT_EQ(smtp.LocalHeloName(), "client.example");
    EXPECT_TRUE(smtp.Offers("8BITMIME"));
    EXPECT_FALSE(smtp.Offers("8BIT"));
    EXPECT_FALSE(smtp.Offers("SIZEX 5"));
    EXPECT_FALSE(smtp.Offers("STARTTLS"));
    EXPECT_EQ(smtp.ExtensionParameters("auth"), "LOGIN");
    EXPECT_EQ(smtp.ExtensionParameters("SIZEX"), "5");
    // The SIZE that follows SIZEX counts, beyond 32 bits.
    EXPECT_EQ(smtp.ServerMaxSize(), 9000000000);
    EXPECT_TRUE(smtp.SendMailFrom("from@example.org", 10, {true, true}));
    smtp.Finish();
    server.Join();
    EXPECT_EQ(server.Commands()[0], "EHLO client.example");
    // SMTPUTF8 is said only where offered.
    EXPECT_EQ(server.Commands()[1], "MAIL FROM:<from@example.org> SIZE=10 BODY=8BITMIME");
}

TEST(SmtpSenderTest, RefusedStartTlsLeavesTheDialogueInClear) {
    FakeSmtpServer server(kGreeting,
                          ReplyByPrefix({{"EHLO", "250-fake.example\r\n250 STARTTLS\r\n"},
                                         {"STARTTLS", "454 4.7.0 TLS not available\r\n"}}));
    TSmtpSender smtp;
    smtp.ServerHost = "127.0.0.1";
    smtp.ServerPort = server.Port();
    ASSERT_TRUE(smtp.Start());
    EXPECT_EQ(smtp.StartTls("fake.example"), TlsUpgrade::refused);
    EXPECT_FALSE(smtp.Socket().Encrypted());
    EXPECT_TRUE(smtp.SendMailFrom("from@example.org", 0));
    smtp.Finish();
    server.Join();
}

} // namespace
} // namespace lumenpost
