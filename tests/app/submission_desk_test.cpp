#include "app/relay_app.h"
#include "event_loop_wait.h"
#include "file_bytes.h"
#include "memory_file.h"
#include "platform/user_name.h"

#include <QTemporaryDir>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <mutex>

namespace lumenpost {
namespace {

constexpr int kAskTimeoutMs = 20000;
constexpr auto kBound = std::chrono::seconds(20);

// Delivery that waits until the test lets it go, so that the queue can be looked at
// between the relay's answer and the delivery; every message is recorded.
struct HeldPeers {
    std::mutex mutex;
    std::condition_variable releasedChanged;
    bool released = false;
    std::vector<std::string> delivered;

    RelayServices Services() {
        RelayServices services;
        services.ResolveRoute = [](const std::string&, const std::string& domain) {
            return Route{RouteStatus::found, "", {{"mx." + domain, {}}}};
        };
        services.DeliverMessage = [this](const RelayJob& job,
                                         const std::vector<std::string>& recipients,
                                         const std::vector<Exchanger>&, const DeliveryOptions&) {
            std::unique_lock lock(mutex);
            releasedChanged.wait_for(lock, kBound, [this] { return released; });
            const QByteArray text = ReadAll(QString::fromStdString(job.dataPath));
            delivered.push_back("<" + job.MailSender + "> -> " + recipients.front() + "\n" +
                                text.toStdString());
            MessageDeliveryResult result;
            result.recipients.push_back({DeliveryStatus::delivered, ""});
            return result;
        };
        services.PlayAlert = [](int) {};
        services.Now = [] { return std::int64_t{1000000}; };
        return services;
    }

    void Release() {
        const std::lock_guard lock(mutex);
        released = true;
        releasedChanged.notify_all();
    }
};

class SubmissionDeskTest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
            qputenv(variable, dir_.path().toUtf8());
        }
        WriteAll(dir_.filePath("lumenpost.ini"), "[config]\nmaxsize=2000\n");
        app_ = std::make_unique<RelayApp>(CommandLineOptions{}, "/opt/bin/lumenpost",
                                          peers_.Services());
        app_->LoadState();
    }

    void TearDown() override {
        peers_.Release();
        app_.reset();
    }

    // Hands `text` over as --sendmail does, while this thread serves the channel.
    ControlReply Submit(const SubmissionEnvelope& envelope, std::string_view text,
                        bool sealed = true) {
        return Ask(FormatSubmitRequest(envelope), MemoryFile(text, sealed));
    }

    ControlReply Ask(const std::string& request, const UniqueFd& file) {
        std::future<AskResult> asked =
            std::async(std::launch::async, AskRunningRelay, dir_.filePath("lumenpost.sock"),
                       request, kAskTimeoutMs, file.Get());
        EXPECT_TRUE(ProcessEventsUntil(
            [&] { return asked.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            kBound));
        const AskResult result = asked.get();
        EXPECT_EQ(result.status, AskStatus::answered) << result.error;
        return result.reply;
    }

    std::vector<std::string> QueueFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(QueueFolder::DefaultPath())) {
            if (entry.is_regular_file()) {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    QTemporaryDir dir_;
    HeldPeers peers_;
    std::unique_ptr<RelayApp> app_;
};

TEST_F(SubmissionDeskTest, TheIdComesOnceTheMessageIsDurableThenItIsDelivered) {
    const ControlReply reply = Submit({"s@a.test", {"r@b.test"}}, "Subject: hi\r\n\r\nbody\r\n");
    ASSERT_TRUE(reply.ok) << reply.text;
    const std::string& id = reply.text;
    // Delivery waits, so what the answer promised is on disk under the final names.
    EXPECT_EQ(QueueFiles(), (std::vector<std::string>{id + ".data", id + ".env"}));
    const QueueFolder folder(QueueFolder::DefaultPath());
    const std::optional<Envelope> envelope = folder.Read(id, QueuePlace::active);
    ASSERT_TRUE(envelope.has_value());
    EXPECT_EQ(envelope->sender, "s@a.test");
    EXPECT_EQ(envelope->recipients, std::vector{QueuedRecipient::Pending("r@b.test")});

    peers_.Release();
    ASSERT_TRUE(ProcessEventsUntil([&] { return QueueFiles().empty(); }, kBound));
    const std::lock_guard lock(peers_.mutex);
    ASSERT_EQ(peers_.delivered.size(), 1u);
    const std::string& delivered = peers_.delivered[0];
    const std::string user = UserName(getuid()).value_or("unknown");
    EXPECT_TRUE(delivered.starts_with("<s@a.test> -> r@b.test\nReceived: from local user " + user +
                                      " (uid " + std::to_string(getuid()) + ")\r\n"))
        << delivered;
    EXPECT_TRUE(delivered.ends_with("\r\nSubject: hi\r\n\r\nbody\r\n")) << delivered;
}

TEST_F(SubmissionDeskTest, RefusalsSayWhyAndQueueNothing) {
    const SubmissionEnvelope envelope{"s@a.test", {"r@b.test"}};
    const auto refusal = [](const ControlReply& reply) {
        EXPECT_FALSE(reply.ok);
        return reply.text.substr(0, reply.text.find(' '));
    };
    const ControlReply large = Submit(envelope, std::string(2001, 'x'));
    EXPECT_EQ(refusal(large), "data:");
    EXPECT_NE(large.text.find("2000 octets"), std::string::npos) << large.text;
    EXPECT_EQ(refusal(Submit(envelope, std::string("a\0b\r\n", 5))), "data:");
    EXPECT_EQ(refusal(Submit({"s@a.test", {"no address"}}, "x\r\n")), "address:");
    EXPECT_EQ(refusal(Submit({"s @a.test", {"r@b.test"}}, "x\r\n")), "address:");
    EXPECT_EQ(refusal(Submit(envelope, "x\r\n", false)), "later:");
    EXPECT_EQ(refusal(Ask("SUBMIT nonsense", MemoryFile("x\r\n"))), "later:");
    EXPECT_EQ(QueueFiles(), std::vector<std::string>{});
}

} // namespace
} // namespace lumenpost
