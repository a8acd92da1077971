#include "delivery/message_delivery.h"
#include "fake_smtp_server.h"

#include <algorithm>
#include <future>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using test::FakeSmtpServer;
using test::ReplyByPrefix;

const std::string kGreeting = "220 fake.example ESMTP\r\n";
const std::string kSizeOffered = "250-fake.example\r\n250 SIZE 100000000\r\n";
constexpr std::int32_t kShortTimeoutMs = 200;

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
    std::string ErrorText() const override { return "disk on fire"; }

private:
    std::string text_;
    std::size_t failAt_;
    std::size_t at_ = 0;
    std::size_t pieces_ = 0;
    bool failed_ = false;
};

DeliveryResult Deliver(const std::string& server, MessageSource& message,
                       std::int32_t replyTimeoutMs = test::kPeerWaitMs) {
    DeliveryOptions options;
    options.replyTimeoutMs = replyTimeoutMs;
    options.connectTimeoutMs = kShortTimeoutMs;
    return DeliverMessage("from@example.org", "to@example.org", server, message, options);
}

DeliveryResult DeliverTo(FakeSmtpServer& server, MessageSource& message,
                         std::int32_t replyTimeoutMs = test::kPeerWaitMs) {
    DeliveryResult result = Deliver(server.Address(), message, replyTimeoutMs);
    server.Join();
    return result;
}

// The text the exchanger keeps: its data lines with dot transparency undone.
std::string Unstuffed(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += std::string_view(line).substr(line.starts_with('.') ? 1 : 0);
        text += "\r\n";
    }
    return text;
}

bool Sent(const FakeSmtpServer& server, const std::string& command) {
    const auto& commands = server.Commands();
    return std::find(commands.begin(), commands.end(), command) != commands.end();
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
        {kGreeting, {{"RCPT", "251 will forward\r\n"}}, DeliveryStatus::delivered, "250 queued"},
        // Another exchanger may well take what this one refuses before the transaction.
        {"554 go away\r\n", {}, DeliveryStatus::temporary, "554 go away"},
        {kGreeting,
         {{"EHLO", "550 no\r\n"}, {"HELO", "550 not you\r\n"}},
         DeliveryStatus::temporary,
         "550 not you"},
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
    EXPECT_EQ(result.reason, "connection to " + dropping.Address() + " lost");

    FakeSmtpServer silent("", ReplyByPrefix());
    result = DeliverTo(silent, message, kShortTimeoutMs);
    EXPECT_EQ(result.status, DeliveryStatus::temporary);
    EXPECT_EQ(result.reason, "no reply from " + silent.Address() + " within 200 ms");
    EXPECT_TRUE(silent.Commands().empty());
}

TEST(MessageDeliveryTest, ConnectionFailuresAreTemporaryAndNameTheAddress) {
    const test::Descriptor closed = test::BindLoopbackUnlistened();
    const std::string closedAddress = "127.0.0.1:" + test::PortText(closed.Get());
    StringMessageSource message("body\r\n");
    DeliveryResult result = Deliver(closedAddress, message);
    EXPECT_EQ(result.status, DeliveryStatus::temporary);
    EXPECT_EQ(result.reason, "connection refused by " + closedAddress);

    const test::FullListener full = test::ListenWithFullQueue();
    const std::string fullAddress = "127.0.0.1:" + test::PortText(full.listener.Get());
    result = Deliver(fullAddress, message);
    EXPECT_EQ(result.status, DeliveryStatus::temporary);
    EXPECT_EQ(result.reason, "no answer from " + fullAddress + " within 200 ms");
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
    const DeliveryResult result = Deliver("127.0.0.1:" + test::PortText(closed.Get()), message);
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
    const DeliveryResult result = Deliver(server.Address(), message, kShortTimeoutMs);
    delivered.set_value();
    server.Join();
    EXPECT_EQ(result.status, DeliveryStatus::temporary);
    EXPECT_EQ(result.reason, "message data not taken by " + server.Address() + " within 200 ms");
}

} // namespace
} // namespace lumenpost
