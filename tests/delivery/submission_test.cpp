#include "delivery/relay_host.h"
#include "delivery/smtp_sender.h"
#include "delivery_test_helpers.h"
#include "tls_test_peer.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using test::At;
using test::FakeSmtpServer;
using test::FakeSmtpSettings;
using test::FakeTls;
using test::kGreeting;
using test::ReplyByPrefix;

const std::string kOffers = "250-fake.example\r\n250-AUTH LOGIN PLAIN\r\n250 STARTTLS\r\n";
const std::string kAccepted = "235 2.7.0 accepted\r\n";

FakeSmtpSettings Presenting(const std::string& certificateName, FakeTls tls = FakeTls::offered) {
    FakeSmtpSettings settings;
    settings.tls = tls;
    settings.certificateName = certificateName;
    return settings;
}

struct Submission {
    std::string hostName = "relay.test";
    bool implicit = false;
    std::string caFile = test::TestCaFile();
};

MessageDeliveryResult Submit(FakeSmtpServer& server, const Submission& submission = {}) {
    DeliveryOptions options = test::Options();
    options.user = "alice";
    options.password = "s3cret";
    options.submission = SubmissionTls{submission.implicit, submission.caFile};
    StringMessageSource message("Subject: via the relay host\r\n\r\nbody\r\n");
    MessageDeliveryResult result =
        DeliverMessage("from@example.org", {"to@example.net"},
                       {At(submission.hostName, {server.Endpoint()})}, message, {}, options);
    server.Join();
    return result;
}

bool AuthSent(const FakeSmtpServer& server) {
    return test::CountStarting(server, "AUTH") > 0;
}

TEST(AuthMechanismTest, StrongestKnownMechanismIsChosenByWholeName) {
    EXPECT_EQ(StrongestMechanism("LOGIN PLAIN CRAM-MD5"), AuthMechanism::cramMd5);
    EXPECT_EQ(StrongestMechanism("login xoauth2 plain"), AuthMechanism::plain);
    EXPECT_EQ(StrongestMechanism("GSSAPI LOGIN"), AuthMechanism::login);
    EXPECT_EQ(StrongestMechanism("XLOGIN PLAINTEXT CRAM-MD5X"), std::nullopt);
    EXPECT_EQ(StrongestMechanism(""), std::nullopt);
}

TEST(AuthMechanismTest, PlainResponseCarriesUserAndPasswordAfterNuls) {
    // Base64 of "\0tim\0tanstaaftanstaaf".
    EXPECT_EQ(PlainResponse("tim", "tanstaaftanstaaf"), "AHRpbQB0YW5zdGFhZnRhbnN0YWFm");
    EXPECT_EQ(PlainResponse("", ""), "AAA=");
}

TEST(SubmissionTest, VerifiedStartTlsThenPlainLoginThenTheMessage) {
    // A relay host given as an address must be named by the certificate's IP address.
    for (const std::string name : {"relay.test", "127.0.0.1"}) {
        SCOPED_TRACE(name);
        FakeSmtpServer server(kGreeting, ReplyByPrefix({{"EHLO", kOffers}, {"AUTH", kAccepted}}),
                              Presenting(name));
        const MessageDeliveryResult result = Submit(server, {name});
        EXPECT_EQ(result.recipients[0].status, DeliveryStatus::delivered)
            << result.recipients[0].reason;
        EXPECT_EQ(result.exchanger, name + " [127.0.0.1]:" + server.Port());
        EXPECT_TRUE(result.tls.starts_with("TLSv1.")) << result.tls;
        const std::vector<std::string>& commands = server.Commands();
        ASSERT_GE(commands.size(), 6U);
        EXPECT_EQ(commands[1], "STARTTLS");
        EXPECT_EQ(commands[3], "AUTH PLAIN " + PlainResponse("alice", "s3cret"));
        EXPECT_TRUE(commands[4].starts_with("EHLO "));
        EXPECT_TRUE(commands[5].starts_with("MAIL FROM:<from@example.org>"));
        EXPECT_TRUE(server.DataEncrypted());
    }
}

TEST(SubmissionTest, NoPasswordOverAnUnverifiedOrClearConnection) {
    struct Case {
        const char* what;
        FakeSmtpSettings settings;
        std::string replyToEhlo;
        std::string caFile;
        std::string reasonPart;
    };
    const std::vector<Case> cases = {
        {"certificate for another name", Presenting("other.test"), kOffers, test::TestCaFile(),
         "certificate is not trusted: hostname mismatch; nothing was sent, no password either"},
        {"issuer not trusted", Presenting("relay.test"), kOffers, "",
         "certificate is not trusted: unable to get local issuer certificate"},
        {"self-signed", Presenting(""), kOffers, test::TestCaFile(), "certificate is not trusted"},
        {"no STARTTLS", Presenting("relay.test"), "250-fake.example\r\n250 AUTH PLAIN\r\n",
         test::TestCaFile(), "does not offer STARTTLS, which a relay host must"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSmtpServer server(
            kGreeting, ReplyByPrefix({{"EHLO", c.replyToEhlo}, {"AUTH", kAccepted}}), c.settings);
        const MessageDeliveryResult result = Submit(server, {"relay.test", false, c.caFile});
        EXPECT_EQ(result.recipients[0].status, DeliveryStatus::temporary);
        EXPECT_NE(result.recipients[0].reason.find(c.reasonPart), std::string::npos)
            << result.recipients[0].reason;
        EXPECT_FALSE(AuthSent(server));
        EXPECT_EQ(test::CountStarting(server, "MAIL"), 0U);
    }
}

TEST(SubmissionTest, ImplicitTlsBeforeTheGreeting) {
    FakeSmtpServer server(
        kGreeting,
        ReplyByPrefix({{"EHLO", "250-fake.example\r\n250 AUTH CRAM-MD5 PLAIN\r\n"},
                       {"AUTH CRAM-MD5", "334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2U+\r\n"},
                       {"YWxpY2Ug", kAccepted}}),
        Presenting("relay.test", FakeTls::implicit));
    const MessageDeliveryResult result = Submit(server, {"relay.test", true});
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::delivered)
        << result.recipients[0].reason;
    EXPECT_FALSE(result.tls.empty());
    EXPECT_EQ(test::CountStarting(server, "STARTTLS"), 0U);
    EXPECT_TRUE(test::Sent(server, "AUTH CRAM-MD5"));
    EXPECT_TRUE(server.DataEncrypted());
    EXPECT_EQ(server.TlsServerName(), "relay.test");

    FakeSmtpServer wrongName(kGreeting, ReplyByPrefix({{"AUTH", kAccepted}}),
                             Presenting("other.test", FakeTls::implicit));
    const MessageDeliveryResult refused = Submit(wrongName, {"relay.test", true});
    EXPECT_EQ(refused.recipients[0].status, DeliveryStatus::temporary);
    EXPECT_NE(refused.recipients[0].reason.find("hostname mismatch"), std::string::npos)
        << refused.recipients[0].reason;
    EXPECT_TRUE(wrongName.Commands().empty());
}

TEST(SubmissionTest, RefusedLoginIsFinalOnlyFor5xx) {
    struct Case {
        std::string reply;
        DeliveryStatus status;
    };
    for (const Case& c : {Case{"535 5.7.8 credentials invalid\r\n", DeliveryStatus::permanent},
                          Case{"454 4.7.0 try later\r\n", DeliveryStatus::temporary}}) {
        SCOPED_TRACE(c.reply);
        FakeSmtpServer server(kGreeting, ReplyByPrefix({{"EHLO", kOffers}, {"AUTH", c.reply}}),
                              Presenting("relay.test"));
        const MessageDeliveryResult result = Submit(server);
        EXPECT_EQ(result.recipients[0].status, c.status);
        const std::string code = c.reply.substr(0, 3);
        EXPECT_TRUE(result.recipients[0].reason.find(code) != std::string::npos &&
                    result.recipients[0].reason.find("alice at relay.test") != std::string::npos)
            << result.recipients[0].reason;
        EXPECT_EQ(test::CountStarting(server, "MAIL"), 0U);
        EXPECT_TRUE(test::Sent(server, "QUIT"));
    }
}

TEST(SubmissionTest, ServerWithoutAKnownMechanismIsNoPlaceForThePassword) {
    FakeSmtpServer server(
        kGreeting,
        ReplyByPrefix({{"EHLO", "250-fake.example\r\n250-AUTH GSSAPI\r\n250 STARTTLS\r\n"}}),
        Presenting("relay.test"));
    const MessageDeliveryResult result = Submit(server);
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::temporary);
    EXPECT_NE(result.recipients[0].reason.find("offers no login"), std::string::npos)
        << result.recipients[0].reason;
    EXPECT_FALSE(AuthSent(server));
}

TEST(RelayHostTest, HostAndPortAsTheSettingWritesThem) {
    const auto parsed = [](std::string_view text) {
        const std::optional<RelayHost> relay = ParseRelayHost(text);
        return relay ? relay->host + " " + std::to_string(relay->port) : std::string("-");
    };
    EXPECT_EQ(parsed("smtp.example.net"), "smtp.example.net 587");
    EXPECT_EQ(parsed("smtp.example.net:465"), "smtp.example.net 465");
    EXPECT_EQ(parsed("192.0.2.7:2525"), "192.0.2.7 2525");
    EXPECT_EQ(parsed("[2001:db8::7]:465"), "2001:db8::7 465");
    EXPECT_EQ(parsed("[2001:db8::7]"), "2001:db8::7 587");
    for (const std::string_view bad : {"", ":587", "host:", "host:0", "host:65536", "host:58x",
                                       "2001:db8::7", "[2001:db8::7", "[::1]x", "a b:25"}) {
        EXPECT_EQ(parsed(bad), "-") << bad;
    }
    EXPECT_TRUE(ParseRelayHost("h:465")->ImplicitTls());
    EXPECT_FALSE(ParseRelayHost("h")->ImplicitTls());
}

} // namespace
} // namespace lumenpost
