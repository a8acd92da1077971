#include "app/relay_app.h"
#include "event_loop_wait.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <arpa/inet.h>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lumenpost {
namespace {

constexpr auto kBound = std::chrono::seconds(20);

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    const bool bound = bind(fd, generic, length) == 0 && getsockname(fd, generic, &length) == 0;
    close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

// A blocking SMTP client for the other side of the dialogue; runs on its own thread while
// the test's thread runs the server's event loop.
class Client {
public:
    explicit Client(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        timeval timeout{20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Sends `text` (nothing when empty) and returns the reply line.
    std::string Say(const std::string& text) {
        if (!connected_ ||
            (!text.empty() && send(fd_, text.data(), text.size(), MSG_NOSIGNAL) < 0)) {
            return {};
        }
        std::string line;
        char c = 0;
        while (!line.ends_with("\r\n") && recv(fd_, &c, 1, 0) == 1) {
            line += c;
        }
        return line;
    }

private:
    int fd_;
    bool connected_ = false;
};

constexpr std::int64_t kNow = 1000000;

// The queued text after our Received line (whose continuation lines begin with a tab).
std::string BodyOf(const std::string& dataPath) {
    QFile file(QString::fromStdString(dataPath));
    if (!file.open(QIODevice::ReadOnly)) {
        return "(unreadable)";
    }
    const std::string text = file.readAll().toStdString();
    std::size_t start = 0;
    do {
        start = text.find("\r\n", start) + 2;
    } while (start > 1 && start < text.size() && text[start] == '\t');
    return start > 1 ? text.substr(start) : text;
}

// Delivery succeeds for everyone but refused@...; every recipient is recorded as
// "<sender> -> recipient" and the message text; notices by what they are.
struct RecordingPeers {
    std::mutex mutex;
    std::vector<std::string> delivered;
    std::vector<std::string> notices;

    RelayServices Services() {
        RelayServices services;
        services.ResolveRoute = [](const std::string&, const std::string& domain) {
            return Route{RouteStatus::found, "", {{"mx." + domain, {}}}};
        };
        services.DeliverMessage = [this](const RelayJob& job,
                                         const std::vector<std::string>& recipients,
                                         const std::vector<Exchanger>&, const DeliveryOptions&) {
            std::lock_guard lock(mutex);
            MessageDeliveryResult result;
            for (const std::string& recipient : recipients) {
                const std::string text = BodyOf(job.dataPath);
                (text.find("Relay Fail...") == std::string::npos ? delivered : notices)
                    .push_back("<" + job.MailSender + "> -> " + recipient + " " + text);
                result.recipients.push_back(
                    recipient.starts_with("refused@")
                        ? DeliveryResult{DeliveryStatus::permanent, "550 refused"}
                        : DeliveryResult{DeliveryStatus::delivered, ""});
            }
            return result;
        };
        services.PlayAlert = [](int) {};
        services.Now = [] { return kNow; };
        return services;
    }
};

class RelayAppTest : public testing::Test {
protected:
    void SetUp() override {
        qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
        qputenv("XDG_DATA_HOME", dir_.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", dir_.path().toUtf8());
        port_ = FreeLoopbackPort();
        ASSERT_NE(port_, 0);
        CommandLineOptions options;
        options.listen = ListenAddress{"127.0.0.1", QString::number(port_)};
        app_ =
            std::make_unique<RelayApp>(options, "/opt/lumenpost/bin/lumenpost", peers_.Services());
        ASSERT_FALSE(app_->SwitchServerOn());
        app_->LoadState(); // the dial-up monitor may be missing here; the queue is ready
    }

    template <typename Done> bool RunUntil(Done done) { return ProcessEventsUntil(done, kBound); }

    QTemporaryDir dir_;
    int port_ = 0;
    RecordingPeers peers_;
    std::unique_ptr<RelayApp> app_;
};

TEST_F(RelayAppTest, EveryRecipientGetsALogLineAndTheFailedOneANoticeFromTheNullSender) {
    auto dialogue = std::async(std::launch::async, [port = port_] {
        Client client(port);
        std::vector<std::string> replies;
        for (const char* text :
             {"", "HELO t\r\n", "MAIL FROM:<s@a.test>\r\n", "RCPT TO:<ok@x.test>\r\n",
              "RCPT TO:<refused@y.test>\r\n", "DATA\r\n", "one\r\n..two\r\n.\r\n", "QUIT\r\n"}) {
            replies.push_back(client.Say(text));
        }
        return replies;
    });
    RelayCore& core = app_->Core();
    // The loop keeps running until the client is done too, so its QUIT gets answered.
    ASSERT_TRUE(RunUntil([&] {
        return !core.okrelay().empty() && !core.badrelay().empty() &&
               dialogue.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }));
    EXPECT_EQ(dialogue.get()[6], "250 OK \r\n");
    const QString time = QString::fromStdString(LocalTimeOfDay(kNow));
    EXPECT_EQ(core.okrelay().first(), "1:邮件转发成功！From:s@a.test/To:ok@x.test/Time:" + time);
    EXPECT_EQ(core.badrelay(),
              QStringList{"1:邮件转发失败！From:s@a.test/To:refused@y.test/Time:" + time});
    {
        std::lock_guard lock(peers_.mutex);
        std::sort(peers_.delivered.begin(), peers_.delivered.end());
        EXPECT_EQ(peers_.delivered,
                  (std::vector<std::string>{"<s@a.test> -> ok@x.test one\r\n.two\r\n",
                                            "<s@a.test> -> refused@y.test one\r\n.two\r\n"}));
    }
    // The notice is queued and delivered like any message: from <>, to the sender.
    ASSERT_TRUE(RunUntil([&] {
        std::lock_guard lock(peers_.mutex);
        return !peers_.notices.empty();
    }));
    {
        std::lock_guard lock(peers_.mutex);
        ASSERT_EQ(peers_.notices.size(), 1u);
        EXPECT_TRUE(peers_.notices[0].starts_with("<> -> s@a.test ")) << peers_.notices[0];
        EXPECT_NE(peers_.notices[0].find("Your Email From: s@a.test /To: refused@y.test Relay "
                                         "Fail...\r\nReason: 550 refused\r\n"),
                  std::string::npos)
            << peers_.notices[0];
    }
    // The failed recipient's message waits in failed/ to be sent again.
    const QueueCommandReply listed = app_->Queue().Command("QUEUE");
    EXPECT_TRUE(listed.ok);
    EXPECT_NE(listed.text.find("failed"), std::string::npos) << listed.text;
    EXPECT_NE(listed.text.find("<refused@y.test>  550 refused"), std::string::npos) << listed.text;
}

TEST_F(RelayAppTest, ClosingWithASessionInTheMiddleOfAMessageIsSafe) {
    std::atomic<bool> inData{false};
    auto dialogue = std::async(std::launch::async, [port = port_, &inData] {
        Client client(port);
        for (const char* text : {"", "HELO t\r\n", "MAIL FROM:<s@a.test>\r\n",
                                 "RCPT TO:<ok@x.test>\r\n", "DATA\r\n"}) {
            client.Say(text);
        }
        inData = true;
        return client.Say("half a messa"); // no reply: returns when the server closes
    });
    ASSERT_TRUE(RunUntil([&] { return inData.load(); }));
    for (int round = 0; round < 20; ++round) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    app_.reset();
    ASSERT_EQ(dialogue.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(dialogue.get(), "");
    std::lock_guard lock(peers_.mutex);
    EXPECT_TRUE(peers_.delivered.empty());
}

TEST_F(RelayAppTest, SettingsFromTheDialogAreInForceAndOnDiskAtOnce) {
    RelaySettings settings = app_->Core().Settings();
    settings.deliveries = 9;
    settings.relayhost = QStringLiteral("smtp.example.com:587");
    EXPECT_EQ(app_->ApplySettingsNow(settings), std::nullopt);
    EXPECT_EQ(app_->Core().Settings(), settings);
    EXPECT_EQ(app_->Settings().Read(), settings); // not only at exit
}

} // namespace
} // namespace lumenpost
