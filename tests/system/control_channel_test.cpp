#include "system/control_channel.h"

#include "memory_file.h"
#include "system/control_channel_socket.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace lumenpost {
namespace {

using namespace std::chrono_literals;

// Bounds for every wait of these tests; they stop a hung test, they decide nothing.
constexpr int kAskTimeoutMs = 10000;
constexpr int kSpinRounds = 4000;
constexpr auto kSpinPause = 5ms;
constexpr auto kSpinLimit = 20s;

// Runs the event loop until `done` holds; false when the bounds ran out first.
template <typename Predicate> bool SpinUntil(Predicate done) {
    const auto giveUp = std::chrono::steady_clock::now() + kSpinLimit;
    for (int round = 0; round < kSpinRounds && std::chrono::steady_clock::now() < giveUp; ++round) {
        if (done()) {
            return true;
        }
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(kSpinPause);
    }
    return done();
}

// Asks from another thread, as a second invocation would, while this thread's event
// loop serves.
AskResult AskWhileServing(const QString& path, const std::string& request) {
    std::future<AskResult> answer = std::async(
        std::launch::async, [&] { return AskRunningRelay(path, request, kAskTimeoutMs); });
    EXPECT_TRUE(SpinUntil([&] { return answer.wait_for(0ms) == std::future_status::ready; }));
    return answer.get();
}

std::optional<sockaddr_un> AddressOf(const QString& path) {
    return UnixAddress(QFile::encodeName(path));
}

// A blocking socket connected to `path`, or bound there when `bindOnly` is set.
UniqueFd RawSocket(const QString& path, bool bindOnly = false) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const std::optional<sockaddr_un> address = AddressOf(path);
    const auto* raw = reinterpret_cast<const sockaddr*>(&*address);
    const int result =
        bindOnly ? bind(fd.Get(), raw, sizeof *address) : connect(fd.Get(), raw, sizeof *address);
    EXPECT_EQ(result, 0) << path.toStdString();
    return fd;
}

bool PeerClosed(const UniqueFd& fd) {
    char octet = 0;
    const ssize_t got = recv(fd.Get(), &octet, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

ControlReply Echo(const std::string& request) {
    if (request == "fail") {
        return {false, "no such message"};
    }
    if (request == "silent") {
        return {true, ""};
    }
    return {true, "got <" + request + ">\nsecond line"};
}

class ControlChannelTest : public testing::Test {
protected:
    QString SocketPath() const { return ControlSocketPath(dir_.path(), "/usr/bin/lumenpost"); }

    QTemporaryDir dir_;
};

TEST_F(ControlChannelTest, TheSocketSitsNextToTheLockUnderTheExecutablesName) {
    EXPECT_EQ(ControlSocketPath("/run/user/1000", "/opt/bin/Relay.Exe"),
              "/run/user/1000/Relay.Exe.sock");
}

TEST_F(ControlChannelTest, RequestsAreAnsweredOkOrError) {
    std::vector<std::string> seen;
    ControlServer server([&](const std::string& request) {
        seen.push_back(request);
        return Echo(request);
    });
    ASSERT_EQ(server.Listen(SocketPath()), std::nullopt);

    const AskResult ok = AskWhileServing(SocketPath(), "retry 42");
    EXPECT_EQ(ok.status, AskStatus::answered) << ok.error;
    EXPECT_TRUE(ok.reply.ok);
    EXPECT_EQ(ok.reply.text, "got <retry 42>\nsecond line");

    const AskResult refused = AskWhileServing(SocketPath(), "fail");
    EXPECT_EQ(refused.status, AskStatus::answered) << refused.error;
    EXPECT_FALSE(refused.reply.ok);
    EXPECT_EQ(refused.reply.text, "no such message");

    const AskResult empty = AskWhileServing(SocketPath(), "silent");
    EXPECT_EQ(empty.status, AskStatus::answered) << empty.error;
    EXPECT_TRUE(empty.reply.ok);
    EXPECT_EQ(empty.reply.text, "");

    EXPECT_EQ(seen, (std::vector<std::string>{"retry 42", "fail", "silent"}));
}

TEST_F(ControlChannelTest, RequestsOverTheLimitAreRefusedWithoutReachingTheHandler) {
    std::vector<std::size_t> seenSizes;
    ControlServer server([&](const std::string& request) {
        seenSizes.push_back(request.size());
        return ControlReply{true, "done"};
    });
    ASSERT_EQ(server.Listen(SocketPath()), std::nullopt);

    const AskResult longest = AskWhileServing(SocketPath(), std::string(kControlRequestLimit, 'a'));
    EXPECT_EQ(longest.status, AskStatus::answered) << longest.error;
    EXPECT_TRUE(longest.reply.ok);

    const AskResult tooLong =
        AskWhileServing(SocketPath(), std::string(kControlRequestLimit + 1000, 'b'));
    EXPECT_EQ(tooLong.status, AskStatus::answered) << tooLong.error;
    EXPECT_FALSE(tooLong.reply.ok);
    EXPECT_EQ(tooLong.reply.text, "request too long");

    EXPECT_EQ(seenSizes, std::vector<std::size_t>{kControlRequestLimit});
}

TEST_F(ControlChannelTest, WithoutAServerTheRelayIsNotRunningAndAStaleFileIsReplaced) {
    EXPECT_EQ(AskRunningRelay(SocketPath(), "queue", kAskTimeoutMs).status, AskStatus::notRunning);

    // A crashed copy leaves its socket file behind: connecting to it is refused.
    RawSocket(SocketPath(), true);
    ASSERT_TRUE(QFile::exists(SocketPath()));
    EXPECT_EQ(AskRunningRelay(SocketPath(), "queue", kAskTimeoutMs).status, AskStatus::notRunning);

    ControlServer server(Echo);
    ASSERT_EQ(server.Listen(SocketPath()), std::nullopt);
    EXPECT_EQ(AskWhileServing(SocketPath(), "queue").status, AskStatus::answered);
}

TEST_F(ControlChannelTest, ARequestWithAFileIsAnsweredWhenItsHandlerSaysSo) {
    auto server = std::make_unique<ControlServer>(Echo);
    std::optional<ControlFileRequest> held;
    ControlServer::Answer answer;
    server->SetFileHandler([&](ControlFileRequest request, ControlServer::Answer later) {
        held = std::move(request);
        answer = std::move(later);
    });
    ASSERT_EQ(server->Listen(SocketPath()), std::nullopt);

    const UniqueFd file = MemoryFile("the message");
    std::future<AskResult> asked = std::async(std::launch::async, AskRunningRelay, SocketPath(),
                                              std::string("SUBMIT <a>"), kAskTimeoutMs, file.Get());
    ASSERT_TRUE(SpinUntil([&] { return held.has_value(); }));
    EXPECT_EQ(held->line, "SUBMIT <a>");
    EXPECT_EQ(held->uid, getuid());
    std::string text(11, '?');
    EXPECT_EQ(pread(held->file.Get(), text.data(), text.size(), 0), 11);
    EXPECT_EQ(text, "the message");

    answer({true, "0queueid"});
    ASSERT_TRUE(SpinUntil([&] { return asked.wait_for(0ms) == std::future_status::ready; }));
    const AskResult result = asked.get();
    EXPECT_EQ(result.status, AskStatus::answered) << result.error;
    EXPECT_TRUE(result.reply.ok);
    EXPECT_EQ(result.reply.text, "0queueid");
    // A request without a file still goes to the plain handler.
    EXPECT_EQ(AskWhileServing(SocketPath(), "retry").reply.text, "got <retry>\nsecond line");
    // Answers that come too late reach nobody, even once the server is gone.
    answer({false, "again"});
    server.reset();
    answer({false, "after the end"});
}

TEST_F(ControlChannelTest, AFileIsRefusedWhereNoHandlerTakesFiles) {
    ControlServer server(Echo);
    ASSERT_EQ(server.Listen(SocketPath()), std::nullopt);
    const UniqueFd file = MemoryFile("the message");
    std::future<AskResult> asked = std::async(std::launch::async, AskRunningRelay, SocketPath(),
                                              std::string("SUBMIT <a>"), kAskTimeoutMs, file.Get());
    ASSERT_TRUE(SpinUntil([&] { return asked.wait_for(0ms) == std::future_status::ready; }));
    const AskResult result = asked.get();
    EXPECT_EQ(result.status, AskStatus::answered) << result.error;
    EXPECT_FALSE(result.reply.ok);
    EXPECT_NE(result.reply.text.find("takes no files"), std::string::npos) << result.reply.text;
}

TEST_F(ControlChannelTest, TheSocketFileIsTheOwnersAloneAndGoesWithTheServer) {
    auto server = std::make_unique<ControlServer>(Echo);
    const mode_t oldMask = umask(0); // the rights must not depend on the caller's mask
    const std::optional<QString> error = server->Listen(SocketPath());
    umask(oldMask);
    ASSERT_EQ(error, std::nullopt);

    struct stat info {};
    ASSERT_EQ(lstat(QFile::encodeName(SocketPath()).constData(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600U);

    // Connections are accepted in order, so once the ask is answered the first one is
    // held by the server, half a request in.
    const UniqueFd client = RawSocket(SocketPath());
    ASSERT_EQ(send(client.Get(), "que", 3, MSG_NOSIGNAL), 3);
    EXPECT_EQ(AskWhileServing(SocketPath(), "queue").status, AskStatus::answered);
    server.reset();
    EXPECT_FALSE(QFile::exists(SocketPath()));
    EXPECT_TRUE(PeerClosed(client));
}

TEST_F(ControlChannelTest, ListenSaysWhyItCannot) {
    ControlServer server(Echo);
    const QString longPath = dir_.path() + u'/' + QString(200, u'x');
    const std::optional<QString> tooLong = server.Listen(longPath);
    ASSERT_TRUE(tooLong.has_value());
    EXPECT_TRUE(tooLong->contains("too long")) << tooLong->toStdString();

    const std::optional<QString> noFolder = server.Listen(dir_.filePath("missing/lumenpost.sock"));
    ASSERT_TRUE(noFolder.has_value());
    EXPECT_TRUE(noFolder->startsWith("cannot bind")) << noFolder->toStdString();
    EXPECT_TRUE(noFolder->contains(ErrnoText(ENOENT))) << noFolder->toStdString();

    const AskResult asked = AskRunningRelay(longPath, "queue", kAskTimeoutMs);
    EXPECT_EQ(asked.status, AskStatus::failed);
    EXPECT_NE(asked.error.find("too long"), std::string::npos) << asked.error;
}

TEST_F(ControlChannelTest, ASilentClientIsClosedAfterTheIdleLimit) {
    ControlServer server(Echo, 20ms);
    ASSERT_EQ(server.Listen(SocketPath()), std::nullopt);

    const UniqueFd silent = RawSocket(SocketPath());
    EXPECT_TRUE(SpinUntil([&] { return PeerClosed(silent); }));
    EXPECT_EQ(AskWhileServing(SocketPath(), "queue").status, AskStatus::answered);
}

TEST_F(ControlChannelTest, ConnectionsBeyondTheLimitAreClosedUntilASlotFrees) {
    ControlServer server(Echo, 60s);
    ASSERT_EQ(server.Listen(SocketPath()), std::nullopt);

    std::vector<UniqueFd> silent;
    for (std::size_t i = 0; i < kControlConnectionLimit; ++i) {
        silent.push_back(RawSocket(SocketPath()));
    }
    const AskResult turnedAway = AskWhileServing(SocketPath(), "queue");
    EXPECT_EQ(turnedAway.status, AskStatus::failed);
    EXPECT_NE(turnedAway.error.find("without an answer"), std::string::npos) << turnedAway.error;

    silent.erase(silent.begin());
    // The server notices the freed slot on one of its next rounds; a few asks are enough.
    AskResult admitted;
    for (int attempt = 0; attempt < 10 && admitted.status != AskStatus::answered; ++attempt) {
        admitted = AskWhileServing(SocketPath(), "queue");
    }
    EXPECT_EQ(admitted.status, AskStatus::answered) << admitted.error;
}

TEST_F(ControlChannelTest, AskSaysWhatWentWrongWithAPeerThatIsNoRelay) {
    const UniqueFd listener = RawSocket(SocketPath(), true);
    ASSERT_EQ(listen(listener.Get(), 4), 0);

    // Nobody accepts: the request waits in the backlog until the time-out.
    const AskResult unanswered = AskRunningRelay(SocketPath(), "queue", 50);
    EXPECT_EQ(unanswered.status, AskStatus::failed);
    EXPECT_NE(unanswered.error.find("within 50 ms"), std::string::npos) << unanswered.error;
    UniqueFd(accept(listener.Get(), nullptr, nullptr)); // drop the abandoned one

    std::thread stranger([&] {
        const UniqueFd peer(accept(listener.Get(), nullptr, nullptr));
        const std::string_view hello = "HELLO\nthere";
        send(peer.Get(), hello.data(), hello.size(), MSG_NOSIGNAL);
    });
    const AskResult garbled = AskRunningRelay(SocketPath(), "queue", kAskTimeoutMs);
    stranger.join();
    EXPECT_EQ(garbled.status, AskStatus::failed);
    EXPECT_NE(garbled.error.find("neither OK nor ERROR"), std::string::npos) << garbled.error;

    const AskResult twoLines = AskRunningRelay(SocketPath(), "retry\nqueue", kAskTimeoutMs);
    EXPECT_EQ(twoLines.status, AskStatus::failed);
    EXPECT_NE(twoLines.error.find("line break"), std::string::npos) << twoLines.error;
}

} // namespace
} // namespace lumenpost
