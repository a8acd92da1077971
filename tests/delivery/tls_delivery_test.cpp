#include "delivery_test_helpers.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using test::At;
using test::FakeSmtpServer;
using test::FakeSmtpSettings;
using test::FakeTls;
using test::kGreeting;
using test::Options;
using test::ReplyByPrefix;
using test::Sent;

const std::string kTlsOffered = "250-fake.example\r\n250-SIZE 100000000\r\n250 STARTTLS\r\n";

FakeSmtpSettings WithTls(FakeTls tls, int connections = 1) {
    FakeSmtpSettings settings;
    settings.tls = tls;
    settings.connections = connections;
    return settings;
}

MessageDeliveryResult DeliverWith(TlsPolicy policy, const std::vector<Exchanger>& exchangers,
                                  MessageSource& message) {
    DeliveryOptions options = Options();
    options.tls = policy;
    return DeliverMessage("from@example.org", {"to@example.org"}, exchangers, message, {}, options);
}

TEST(TlsDeliveryTest, MayAndEncryptDeliverThroughTls) {
    // Larger than a TLS record many times over, so that writes stop short and resume.
    std::string text = "Subject: sealed\r\n\r\n";
    while (text.size() < 2 * 1024 * 1024) {
        text += ".a line that must arrive decrypted and unstuffed\r\n";
    }
    for (const TlsPolicy policy : {TlsPolicy::may, TlsPolicy::encrypt}) {
        SCOPED_TRACE(static_cast<int>(policy));
        FakeSmtpServer server(kGreeting, ReplyByPrefix({{"EHLO", kTlsOffered}}),
                              WithTls(FakeTls::offered));
        StringMessageSource message(text);
        const MessageDeliveryResult result =
            DeliverWith(policy, {At("fake.example", {server.Endpoint()})}, message);
        server.Join();
        EXPECT_EQ(result.recipients[0].status, DeliveryStatus::delivered);
        EXPECT_TRUE(result.tls.starts_with("TLSv1.")) << result.tls;
        EXPECT_NE(result.tls.find(' '), std::string::npos) << result.tls;
        EXPECT_TRUE(server.DataEncrypted());
        EXPECT_TRUE(test::Unstuffed(server.DataLines()) == text);
        EXPECT_EQ(server.TlsServerName(), "fake.example");
        ASSERT_GE(server.Commands().size(), 4U);
        EXPECT_EQ(server.Commands()[1], "STARTTLS");
        EXPECT_TRUE(server.Commands()[2].starts_with("EHLO "));
        EXPECT_TRUE(server.Commands()[3].starts_with("MAIL FROM:<from@example.org> SIZE="));
    }
}

TEST(TlsDeliveryTest, FailedHandshakeFallsBackToClearOnlyWhenAllowed) {
    FakeSmtpServer twice(kGreeting, ReplyByPrefix({{"EHLO", kTlsOffered}}),
                         WithTls(FakeTls::broken, 2));
    StringMessageSource message("body\r\n");
    MessageDeliveryResult result =
        DeliverWith(TlsPolicy::may, {At("fake.example", {twice.Endpoint()})}, message);
    twice.Join();
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::delivered);
    EXPECT_TRUE(result.tls.empty());
    EXPECT_EQ(twice.Connections(), 2);
    EXPECT_EQ(test::CountStarting(twice, "STARTTLS"), 1U);
    EXPECT_FALSE(twice.DataEncrypted());
    EXPECT_EQ(twice.DataLines(), (std::vector<std::string>{"body"}));

    FakeSmtpServer once(kGreeting, ReplyByPrefix({{"EHLO", kTlsOffered}}),
                        WithTls(FakeTls::broken));
    result = DeliverWith(TlsPolicy::encrypt, {At("fake.example", {once.Endpoint()})}, message);
    once.Join();
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::temporary);
    const std::string expected = "fake.example: TLS handshake with " + once.Address() + " failed: ";
    EXPECT_TRUE(result.recipients[0].reason.starts_with(expected)) << result.recipients[0].reason;
    EXPECT_GT(result.recipients[0].reason.size(), expected.size());
    EXPECT_EQ(test::CountStarting(once, "MAIL"), 0U);
}

TEST(TlsDeliveryTest, EncryptSkipsAnExchangerWithoutStartTls) {
    FakeSmtpServer clear(kGreeting, ReplyByPrefix());
    // The first exchanger's other address is not tried: it would not offer STARTTLS either.
    const test::Descriptor sibling = test::BindLoopback(SOCK_STREAM);
    FakeSmtpServer sealed(kGreeting, ReplyByPrefix({{"EHLO", kTlsOffered}}),
                          WithTls(FakeTls::offered));
    StringMessageSource message("body\r\n");
    const MessageDeliveryResult result =
        DeliverWith(TlsPolicy::encrypt,
                    {At("one.example", {clear.Endpoint(), test::Loopback(sibling)}),
                     At("two.example", {sealed.Endpoint()})},
                    message);
    clear.Join();
    sealed.Join();
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::delivered);
    EXPECT_FALSE(result.tls.empty());
    EXPECT_EQ(test::CountStarting(clear, "MAIL"), 0U);
    EXPECT_FALSE(test::Contacted(sibling));

    FakeSmtpServer alone(kGreeting, ReplyByPrefix());
    const MessageDeliveryResult refused =
        DeliverWith(TlsPolicy::encrypt, {At("one.example", {alone.Endpoint()})}, message);
    alone.Join();
    EXPECT_EQ(refused.recipients[0].status, DeliveryStatus::temporary);
    EXPECT_EQ(refused.recipients[0].reason,
              "one.example: " + alone.Address() +
                  " does not offer STARTTLS, which the TLS policy requires");
    EXPECT_EQ(test::CountStarting(alone, "MAIL"), 0U);
}

TEST(TlsDeliveryTest, PolicyNoneNeverStartsTls) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"EHLO", kTlsOffered}}),
                          WithTls(FakeTls::offered));
    StringMessageSource message("body\r\n");
    const MessageDeliveryResult result =
        DeliverWith(TlsPolicy::none, {At("fake.example", {server.Endpoint()})}, message);
    server.Join();
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::delivered);
    EXPECT_TRUE(result.tls.empty());
    EXPECT_EQ(test::CountStarting(server, "STARTTLS"), 0U);
}

} // namespace
} // namespace lumenpost
