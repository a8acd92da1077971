#include "delivery/ehlo_name.h"
#include "delivery_test_helpers.h"

#include <algorithm>
#include <future>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using test::At;
using test::FakeSmtpServer;
using test::FakeSmtpSettings;
using test::kGreeting;
using test::kShortTimeoutMs;
using test::Loopback;
using test::Options;
using test::ReplyByPrefix;
using test::Sent;
using test::Unstuffed;

const std::string kSizeOffered = "250-fake.example\r\n250 SIZE 100000000\r\n";

// Hands out its text in pieces of 1, 2 and 3 octets in turn, so that line starts fall on
// every kind of piece border; fails instead of handing out the octet at `failAt`.
class TinyPieceSource : public MessageSource {
public:
    explicit TinyPieceSource(std::string text, std::size_t failAt = std::string::npos)
        : text_(std::move(text)), failAt_(failAt) {}

    std::int64_t Size() const override { return static_cast<std::int64_t>(text_.size()); }
    bool Next(std::string& chunk) override {
        if (at_ >= failAt_) {
            failed_ = true;
            return false;
        }
        const std::size_t count = std::min({pieces_ % 3 + 1, text_.size() - at_, failAt_ - at_});
        ++pieces_;
        chunk.assign(text_, at_, count);
        at_ += count;
        return count > 0;
    }
    bool Failed() const override { return failed_; }
    bool Rewind() override {
        at_ = 0;
        pieces_ = 0;
        return !failed_;
    }
    std::string ErrorText() const override { return "disk on fire"; }

private:
    std::string text_;
    std::size_t failAt_;
    std::size_t at_ = 0;
    std::size_t pieces_ = 0;
    bool failed_ = false;
};

MessageDeliveryResult DeliverAll(const std::vector<Exchanger>& exchangers, MessageSource& message,
                                 const std::vector<std::string>& recipients = {"to@example.org"},
                                 const DeliveryOptions& options = Options(),
                                 const MessageTraits& traits = {}) {
    return DeliverMessage("from@example.org", recipients, exchangers, message, traits, options);
}

DeliveryResult Deliver(const std::vector<Exchanger>& exchangers, MessageSource& message,
                       std::int32_t replyTimeoutMs = test::kPeerWaitMs) {
    return DeliverAll(exchangers, message, {"to@example.org"}, Options(replyTimeoutMs))
        .recipients.at(0);
}

DeliveryResult DeliverTo(FakeSmtpServer& server, MessageSource& message,
                         std::int32_t replyTimeoutMs = test::kPeerWaitMs) {
    DeliveryResult result =
        Deliver({At("fake.example", {server.Endpoint()})}, message, replyTimeoutMs);
    server.Join();
    return result;
}

TEST(MessageDeliveryTest, DotsAtLineStartsAreStuffedAlsoOnPieceBorders) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"EHLO", kSizeOffered}}));
    const std::string text = "Subject: dots\r\n\r\n.\r\n..\r\n.hidden\r\nmid.dle\r\n"
                             ".a\r\n.b\r\n\r\n.\r\n...\r\nend.\r\n";
    TinyPieceSource message(text);
    const DeliveryResult result = DeliverTo(server, message);
    EXPECT_EQ(result.status, DeliveryStatus::delivered);
    EXPECT_EQ(result.reason, "250 queued");
    EXPECT_EQ(Unstuffed(server.DataLines()), text);
    EXPECT_EQ(server.DataLines()[2], "..");
    EXPECT_EQ(server.Commands(),
              (std::vector<std::string>{server.Commands()[0],
                                        "MAIL FROM:<from@example.org> SIZE=" +
                                            std::to_string(text.size()),
                                        "RCPT TO:<to@example.org>", "DATA", ".", "QUIT"}));
}

TEST(MessageDeliveryTest, TextWithoutFinalLineEndGetsOneBeforeTheEndLine) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix());
    TinyPieceSource message("Subject: x\r\n\r\n.last line");
    EXPECT_EQ(DeliverTo(server, message).status, DeliveryStatus::delivered);
    EXPECT_EQ(server.DataLines(), (std::vector<std::string>{"Subject: x", "", "..last line"}));

    FakeSmtpServer empty(kGreeting, ReplyByPrefix());
    StringMessageSource nothing("");
    EXPECT_EQ(DeliverTo(empty, nothing).status, DeliveryStatus::delivered);
    EXPECT_TRUE(empty.DataLines().empty());
}

TEST(MessageDeliveryTest, FiveMebibytesArriveIntact) {
    std::string text;
    for (int i = 0; text.size() < 5 * 1024 * 1024; ++i) {
        text +=
            (i % 11 == 0 ? "." : "") + std::string(60 + i % 37, static_cast<char>('a' + i % 26));
        text += "\r\n";
    }
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"EHLO", kSizeOffered}}));
    StringMessageSource message(text);
    EXPECT_EQ(DeliverTo(server, message).status, DeliveryStatus::delivered);
    EXPECT_EQ(server.Commands()[1],
              "MAIL FROM:<from@example.org> SIZE=" + std::to_string(text.size()));
    EXPECT_TRUE(Unstuffed(server.DataLines()) == text);
}

struct ReplyCase {
    std::string greeting;
    std::vector<std::pair<std::string, std::string>> replies;
    DeliveryStatus status;
    std::string reason;
};

TEST(MessageDeliveryTest, RepliesAreClassifiedAndGivenAsReason) {
    const ReplyCase cases[] = {
        {kGreeting,
         {{"RCPT", "450 4.2.0 greylisted, try again later\r\n"}},
         DeliveryStatus::temporary,
         "450 4.2.0 greylisted, try again later"},
        {kGreeting,
         {{"RCPT", "550 5.1.1 no such user\r\n"}},
         DeliveryStatus::permanent,
         "550 5.1.1 no such user"},
        {kGreeting,
         {{".", "552-5.3.4 message too big\r\n552 5.3.4 for this mailbox\r\n"}},
         DeliveryStatus::permanent,
         "552 5.3.4 message too big 5.3.4 for this mailbox"},
        {kGreeting, {{".", "451 try later\r\n"}}, DeliveryStatus::temporary, "451 try later"},
        {kGreeting, {{"MAIL", "553 bad\rsender\r\n"}}, DeliveryStatus::permanent, "553 bad sender"},
        {kGreeting, {{"DATA", "554 no data\r\n"}}, DeliveryStatus::permanent, "554 no data"},
        {kGreeting,
         {{"DATA", "451 no data now\r\n"}},
         DeliveryStatus::temporary,
         "451 no data now"},
        {kGreeting, {{"RCPT", "251 will forward\r\n"}}, DeliveryStatus::delivered, "250 queued"},
        // Another exchanger may well take what this one refuses before the transaction.
        {"554 go away\r\n", {}, DeliveryStatus::temporary, "fake.example: 554 go away"},
        {kGreeting,
         {{"EHLO", "550 no\r\n"}, {"HELO", "550 not you\r\n"}},
         DeliveryStatus::temporary,
         "fake.example: 550 not you"},
        {kGreeting,
         {{"MAIL", "421 closing\r\n"}},
         DeliveryStatus::temporary,
         "fake.example: 421 closing"},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.reason);
        FakeSmtpServer server(c.greeting, ReplyByPrefix(c.replies));
        StringMessageSource message("Subject: x\r\n\r\nbody\r\n");
        const DeliveryResult result = DeliverTo(server, message);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.reason, c.reason);
    }
}

TEST(MessageDeliveryTest, MissingRepliesAreTemporaryAndNameTheAddress) {
    FakeSmtpServer dropping(kGreeting, ReplyByPrefix({{"RCPT", test::kDropConnection}}));
    StringMessageSource message("body\r\n");
    DeliveryResult result = DeliverTo(dropping, message);
    EXPECT_EQ(result.status, DeliveryStatus::temporary);
    EXPECT_EQ(result.reason, "fake.example: connection to " + dropping.Address() + " lost");

    FakeSmtpServer silent("", ReplyByPrefix());
    result = DeliverTo(silent, message, kShortTimeoutMs);
    EXPECT_EQ(result.status, DeliveryStatus::temporary);
    EXPECT_EQ(result.reason, "fake.example: no reply from " + silent.Address() + " within 200 ms");
    EXPECT_TRUE(silent.Commands().empty());
}

TEST(MessageDeliveryTest, ConnectionFailuresAreTemporaryAndNameTheAddress) {
    const test::Descriptor closed = test::BindLoopbackUnlistened();
    StringMessageSource message("body\r\n");
    DeliveryResult result = Deliver({At("closed.example", {Loopback(closed)})}, message);
    EXPECT_EQ(result.status, DeliveryStatus::temporary);
    EXPECT_EQ(result.reason, "closed.example: connection refused by " + Loopback(closed).Text());

    const test::FullListener full = test::ListenWithFullQueue();
    result = Deliver({At("full.example", {Loopback(full.listener)})}, message);
    EXPECT_EQ(result.status, DeliveryStatus::temporary);
    EXPECT_EQ(result.reason,
              "full.example: no answer from " + Loopback(full.listener).Text() + " within 200 ms");
}

TEST(MessageDeliveryTest, SourceFailingMidwayLeavesTheDataUnended) {
    // Failing past the first 64 KiB, so that part of the text went out.
    std::string text;
    while (text.size() < 200 * 1024) {
        text += "a line of the message\r\n";
    }
    FakeSmtpServer server(kGreeting, ReplyByPrefix());
    TinyPieceSource message(text, 150 * 1024);
    const DeliveryResult result = DeliverTo(server, message);
    EXPECT_EQ(result.status, DeliveryStatus::temporary);
    EXPECT_EQ(result.reason, "cannot read the queued message: disk on fire");
    EXPECT_TRUE(Sent(server, "DATA"));
    EXPECT_FALSE(Sent(server, "."));
    EXPECT_FALSE(Sent(server, "QUIT"));
    EXPECT_FALSE(server.DataLines().empty());
}

TEST(MessageDeliveryTest, UnreadableFileIsNotOffered) {
    // Nothing listens there: a connection attempt would give another reason.
    const test::Descriptor closed = test::BindLoopbackUnlistened();
    FileMessageSource message("/nonexistent/lumenpost/message");
    const DeliveryResult result = Deliver({At("closed.example", {Loopback(closed)})}, message);
    EXPECT_EQ(result.status, DeliveryStatus::temporary);
    EXPECT_EQ(result.reason, "cannot read the queued message: /nonexistent/lumenpost/message: "
                             "No such file or directory");
}

TEST(MessageDeliveryTest, ExchangerTakingNoDataTimesOut) {
    // DATA is answered ahead, with RCPT; then the exchanger stops reading. The text
    // outgrows what the system buffers on both ends.
    std::promise<void> delivered;
    std::future<void> deliveredSeen = delivered.get_future();
    FakeSmtpServer server(kGreeting, [&deliveredSeen](const std::string& command) {
        if (command.starts_with("RCPT")) {
            return std::string("250 OK\r\n354 go ahead\r\n");
        }
        if (command == "DATA") {
            deliveredSeen.wait_for(std::chrono::milliseconds(4 * test::kPeerWaitMs));
            return test::kDropConnection;
        }
        return ReplyByPrefix()(command);
    });
    StringMessageSource message(std::string(48 * 1024 * 1024, 'x'));
    const DeliveryResult result =
        Deliver({At("fake.example", {server.Endpoint()})}, message, kShortTimeoutMs);
    delivered.set_value();
    server.Join();
    EXPECT_EQ(result.status, DeliveryStatus::temporary);
    EXPECT_EQ(result.reason,
              "fake.example: message data not taken by " + server.Address() + " within 200 ms");
}

TEST(MessageDeliveryTest, GivenEhloNameIsSaid) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix());
    StringMessageSource message("body\r\n");
    DeliveryOptions options = Options();
    options.ehloName = "relay.example.org";
    DeliverAll({At("fake.example", {server.Endpoint()})}, message, {"to@example.org"}, options);
    server.Join();
    EXPECT_EQ(server.Commands().at(0), "EHLO relay.example.org");
}

TEST(MessageDeliveryTest, NextAddressAndNextExchangerAfterConnectFailures) {
    const test::Descriptor closed = test::BindLoopbackUnlistened();
    // A listener that never accepts: the connection is made, the greeting never comes.
    const test::Descriptor silent = test::BindLoopback(SOCK_STREAM);
    FakeSmtpServer second(kGreeting, ReplyByPrefix());
    StringMessageSource message("body\r\n");
    const MessageDeliveryResult result =
        DeliverAll({At("one.example", {Loopback(closed), Loopback(silent)}),
                    At("two.example", {second.Endpoint()})},
                   message, {"to@example.org"}, Options(500));
    second.Join();
    ASSERT_EQ(result.recipients.size(), 1U);
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::delivered);
    EXPECT_EQ(result.exchanger, "two.example [127.0.0.1]:" + second.Port());
    EXPECT_TRUE(result.tls.empty());
    EXPECT_TRUE(Sent(second, "."));
}

TEST(MessageDeliveryTest, EveryExchangerFailingNamesEachOne) {
    FakeSmtpServer busy("421 4.3.2 busy\r\n", ReplyByPrefix());
    FakeSmtpServer later("450 later\r\n", ReplyByPrefix());
    StringMessageSource message("body\r\n");
    const MessageDeliveryResult result =
        DeliverAll({At("one.example", {busy.Endpoint()}), At("two.example", {later.Endpoint()})},
                   message, {"a@example.org", "b@example.org"});
    busy.Join();
    later.Join();
    for (const DeliveryResult& recipient : result.recipients) {
        EXPECT_EQ(recipient.status, DeliveryStatus::temporary);
        EXPECT_EQ(recipient.reason, "one.example: 421 4.3.2 busy; two.example: 450 later");
    }
    EXPECT_EQ(result.exchanger, "two.example [127.0.0.1]:" + later.Port());
    // Nothing more is said to an exchanger that refused at once but QUIT.
    EXPECT_EQ(busy.Commands(), (std::vector<std::string>{"QUIT"}));
}

TEST(MessageDeliveryTest, RecipientsShareOneTransactionAndGetTheirOwnAnswers) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"RCPT TO:<b@", "550 5.1.1 no b here\r\n"},
                                                    {"RCPT TO:<d@", "452 4.2.2 d is full\r\n"}}));
    StringMessageSource message("body\r\n");
    const MessageDeliveryResult result =
        DeliverAll({At("fake.example", {server.Endpoint()})}, message,
                   {"a@example.org", "b@example.org", "c@example.org", "d@example.org"});
    server.Join();
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_EQ(test::CountStarting(server, "MAIL FROM:"), 1U);
    EXPECT_EQ(test::CountStarting(server, "RCPT TO:"), 4U);
    EXPECT_EQ(test::CountStarting(server, "DATA"), 1U);
    ASSERT_EQ(result.recipients.size(), 4U);
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::delivered);
    EXPECT_EQ(result.recipients[0].reason, "250 queued");
    EXPECT_EQ(result.recipients[1].status, DeliveryStatus::permanent);
    EXPECT_EQ(result.recipients[1].reason, "550 5.1.1 no b here");
    EXPECT_EQ(result.recipients[2].status, DeliveryStatus::delivered);
    EXPECT_EQ(result.recipients[3].status, DeliveryStatus::temporary);
    EXPECT_EQ(result.recipients[3].reason, "452 4.2.2 d is full");
}

TEST(MessageDeliveryTest, NoRecipientAcceptedSendsNoData) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"RCPT", "550 no\r\n"}}));
    StringMessageSource message("body\r\n");
    const MessageDeliveryResult result = DeliverAll({At("fake.example", {server.Endpoint()})},
                                                    message, {"a@example.org", "b@example.org"});
    server.Join();
    EXPECT_FALSE(Sent(server, "DATA"));
    EXPECT_EQ(server.Commands().back(), "QUIT");
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::permanent);
    EXPECT_EQ(result.recipients[1].status, DeliveryStatus::permanent);
}

TEST(MessageDeliveryTest, DataRefusalConcernsOnlyTheAcceptedRecipients) {
    FakeSmtpServer server(kGreeting, ReplyByPrefix({{"RCPT TO:<b@", "450 not now\r\n"},
                                                    {"DATA", "554 5.7.1 no mail from you\r\n"}}));
    StringMessageSource message("body\r\n");
    const MessageDeliveryResult result = DeliverAll({At("fake.example", {server.Endpoint()})},
                                                    message, {"a@example.org", "b@example.org"});
    server.Join();
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::permanent);
    EXPECT_EQ(result.recipients[0].reason, "554 5.7.1 no mail from you");
    EXPECT_EQ(result.recipients[1].status, DeliveryStatus::temporary);
    EXPECT_EQ(result.recipients[1].reason, "450 not now");
}

TEST(MessageDeliveryTest, ExchangerThatCannotTakeTheMessageFailsItForEveryRecipient) {
    StringMessageSource message("Subject: large\r\n\r\nbody\r\n");
    FakeSmtpServer small(kGreeting,
                         ReplyByPrefix({{"EHLO", "250-fake.example\r\n250 SIZE 10\r\n"}}));
    MessageDeliveryResult result = DeliverAll({At("small.example", {small.Endpoint()})}, message,
                                              {"a@example.org", "b@example.org"});
    small.Join();
    for (const DeliveryResult& recipient : result.recipients) {
        EXPECT_EQ(recipient.status, DeliveryStatus::permanent);
        EXPECT_EQ(recipient.reason, "message of " + std::to_string(message.Size()) +
                                        " octets is larger than the 10 octets small.example "
                                        "accepts");
    }
    EXPECT_EQ(test::CountStarting(small, "MAIL"), 0U);

    FakeSmtpServer ascii(kGreeting,
                         ReplyByPrefix({{"EHLO", "250-fake.example\r\n250 8BITMIME\r\n"}}));
    MessageTraits international;
    international.smtputf8 = true;
    result = DeliverAll({At("ascii.example", {ascii.Endpoint()})}, message, {"a@example.org"},
                        Options(), international);
    ascii.Join();
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::permanent);
    EXPECT_TRUE(
        result.recipients[0].reason.starts_with("ascii.example does not accept SMTPUTF8 mail"))
        << result.recipients[0].reason;
    EXPECT_EQ(test::CountStarting(ascii, "MAIL"), 0U);
}

TEST(MessageDeliveryTest, MailParametersFollowTheMessageAndTheOffer) {
    MessageTraits traits;
    traits.eightBit = true;
    traits.smtputf8 = true;
    StringMessageSource message("body \xc3\xa9\r\n");
    FakeSmtpServer offering(kGreeting,
                            ReplyByPrefix({{"EHLO", "250-fake.example\r\n250-8BITMIME\r\n"
                                                    "250 SMTPUTF8\r\n"}}));
    DeliverAll({At("fake.example", {offering.Endpoint()})}, message, {"to@example.org"}, Options(),
               traits);
    offering.Join();
    EXPECT_TRUE(Sent(offering, "MAIL FROM:<from@example.org> BODY=8BITMIME SMTPUTF8"));

    // Eight-bit text goes as it is where 8BITMIME is not offered.
    traits.smtputf8 = false;
    FakeSmtpServer plain(kGreeting,
                         ReplyByPrefix({{"EHLO", "250-fake.example\r\n250 8BITMIMEX\r\n"}}));
    const MessageDeliveryResult result = DeliverAll({At("fake.example", {plain.Endpoint()})},
                                                    message, {"to@example.org"}, Options(), traits);
    plain.Join();
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::delivered);
    EXPECT_TRUE(Sent(plain, "MAIL FROM:<from@example.org>"));
    EXPECT_EQ(plain.DataLines(), (std::vector<std::string>{"body \xc3\xa9"}));
}

TEST(MessageDeliveryTest, LostAfterTheEndOfDataIsNotTriedElsewhere) {
    FakeSmtpServer first(kGreeting, ReplyByPrefix({{".", test::kDropConnection}}));
    const test::Descriptor second = test::BindLoopback(SOCK_STREAM);
    StringMessageSource message("body\r\n");
    const MessageDeliveryResult result = DeliverAll(
        {At("one.example", {first.Endpoint()}), At("two.example", {Loopback(second)})}, message);
    first.Join();
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::temporary);
    EXPECT_EQ(result.recipients[0].reason, "connection to " + first.Address() + " lost");
    EXPECT_FALSE(test::Contacted(second));
}

TEST(MessageDeliveryTest, LostBeforeTheEndOfDataGoesToTheNextExchangerWithTheWholeMessage) {
    FakeSmtpServer first(kGreeting, ReplyByPrefix({{"DATA", "354 go ahead\r\n<drop>"}}));
    FakeSmtpServer second(kGreeting, ReplyByPrefix());
    // Larger than the system buffers, so that the loss shows before the end line went out.
    std::string text = "Subject: again\r\n\r\n";
    while (text.size() < 8 * 1024 * 1024) {
        text += "line of the message\r\n";
    }
    StringMessageSource message(text);
    const MessageDeliveryResult result = DeliverAll(
        {At("one.example", {first.Endpoint()}), At("two.example", {second.Endpoint()})}, message);
    first.Join();
    second.Join();
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::delivered);
    EXPECT_TRUE(Unstuffed(second.DataLines()) == text);
}

TEST(MessageDeliveryTest, AttemptLimitBoundsTheWholeDelivery) {
    const test::Descriptor silent = test::BindLoopback(SOCK_STREAM);
    const test::Descriptor untried = test::BindLoopback(SOCK_STREAM);
    DeliveryOptions options = Options();
    options.attemptLimitMs = 300;
    StringMessageSource message("body\r\n");
    const MessageDeliveryResult result =
        DeliverAll({At("one.example", {Loopback(silent)}), At("two.example", {Loopback(untried)})},
                   message, {"to@example.org"}, options);
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::temporary);
    EXPECT_EQ(result.recipients[0].reason,
              "one.example: no reply from " + Loopback(silent).Text() +
                  " before the delivery's time limit of 300 ms ran out; the delivery's time "
                  "limit of 300 ms ran out before two.example was tried");
    EXPECT_FALSE(test::Contacted(untried));
}

TEST(MessageDeliveryTest, DeliversOverIPv6) {
    FakeSmtpSettings settings;
    settings.family = AF_INET6;
    FakeSmtpServer server(kGreeting, ReplyByPrefix(), settings);
    if (!server.Listening()) {
        GTEST_SKIP() << "::1 is not available on this machine; IPv6 delivery is not tested";
    }
    StringMessageSource message("body\r\n");
    const MessageDeliveryResult result =
        DeliverAll({At("six.example", {server.Endpoint()})}, message);
    server.Join();
    EXPECT_EQ(result.recipients[0].status, DeliveryStatus::delivered);
    EXPECT_EQ(result.exchanger, "six.example [::1]:" + server.Port());
    const std::string name = MachineQualifiedName().empty() ? "[IPv6:::1]" : MachineQualifiedName();
    EXPECT_EQ(server.Commands().at(0), "EHLO " + name);
}

} // namespace
} // namespace lumenpost
