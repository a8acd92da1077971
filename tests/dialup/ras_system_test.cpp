// The dial-up monitor against real point-to-point interfaces, inside a network namespace
// of its own so that the machine's interfaces are neither seen nor touched.
#include <QDeadlineTimer>
#include <QProcess>
#include <atomic>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace lumenpost {
namespace {

using testing::HasSubstr;
using testing::Not;

constexpr int kWaitMs = 20000;
const QString kHelper = QStringLiteral(LUMENPOST_RAS_HELPER);

struct CommandResult {
    bool Succeeded = false;
    std::string Output;
    std::string Errors;
};

CommandResult RunCommand(const QStringList& command) {
    QProcess process;
    process.start(command.front(), command.mid(1));
    bool finished = process.waitForStarted(kWaitMs) && process.waitForFinished(kWaitMs);
    if (!finished && process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kWaitMs);
    }
    finished = finished && process.exitStatus() == QProcess::NormalExit;
    return {finished && process.exitCode() == 0, process.readAllStandardOutput().toStdString(),
            process.readAllStandardError().toStdString()};
}

// A network namespace with a name unique to this process, removed on destruction.
class NetNamespace {
public:
    NetNamespace() {
        static std::atomic<int> counter{0};
        Name = QStringLiteral("lumenpost-ras-%1-%2").arg(::getpid()).arg(++counter);
        const CommandResult added = RunCommand({"ip", "netns", "add", Name});
        Created = added.Succeeded;
        Error = added.Errors;
    }
    ~NetNamespace() {
        if (Created) {
            RunCommand({"ip", "netns", "del", Name});
        }
    }
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    QStringList Exec(const QStringList& command) const {
        return QStringList{"ip", "netns", "exec", Name} + command;
    }

    void Run(const QStringList& command) const {
        const CommandResult result = RunCommand(Exec(command));
        ASSERT_TRUE(result.Succeeded) << command.join(' ').toStdString() << ": " << result.Errors;
    }

    // What the monitor reports on one poll inside the namespace.
    std::string Poll() const {
        const CommandResult result = RunCommand(Exec({kHelper, "poll"}));
        EXPECT_TRUE(result.Succeeded) << result.Errors;
        EXPECT_THAT(result.Output, HasSubstr("loaded 1\n"));
        return result.Output;
    }

    QString Name;
    bool Created = false;
    std::string Error;
};

// The helper holding a tun device open inside the namespace; it lets go, and the kernel
// removes the device, when its standard input ends.
class TunHolder {
public:
    TunHolder(const NetNamespace& space, const QString& name) {
        const QStringList command =
            space.Exec({kHelper, "hold-tun", name, "192.0.2.1", "192.0.2.2"});
        Process.start(command.front(), command.mid(1));
        const QDeadlineTimer deadline(kWaitMs);
        while (!Process.canReadLine() && !deadline.hasExpired() &&
               Process.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
        }
        Ready = Process.canReadLine() && Process.readLine() == "ready\n";
    }
    ~TunHolder() { Release(); }
    TunHolder(const TunHolder&) = delete;
    TunHolder& operator=(const TunHolder&) = delete;

    void Release() {
        if (Process.state() == QProcess::NotRunning) {
            return;
        }
        Process.closeWriteChannel();
        if (!Process.waitForFinished(kWaitMs)) {
            Process.kill();
            Process.waitForFinished(kWaitMs);
        }
    }

    std::string Errors() { return Process.readAllStandardError().toStdString(); }

    QProcess Process;
    bool Ready = false;
};

class RasSystemTest : public testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "creating a network namespace needs root";
        }
        if (::access("/dev/net/tun", R_OK | W_OK) != 0) {
            GTEST_SKIP() << "/dev/net/tun is not available";
        }
        Space = std::make_unique<NetNamespace>();
        if (!Space->Created) {
            GTEST_SKIP() << "network namespaces are not available: " << Space->Error;
        }
    }

    std::unique_ptr<NetNamespace> Space;
};

TEST_F(RasSystemTest, HeldTunIsConnectedWithBothAddressesAndGoneWhenClosed) {
    EXPECT_EQ(Space->Poll(), "loaded 1\nonline 0\n");
    TunHolder holder(*Space, "lumtun0");
    ASSERT_TRUE(holder.Ready) << holder.Errors();

    EXPECT_EQ(Space->Poll(), "loaded 1\n"
                             "connected entry=lumtun0 type=lumtun ip=192.0.2.1 server=192.0.2.2\n"
                             "status Connected\n"
                             "online 1\n");

    holder.Release();
    EXPECT_EQ(Space->Poll(), "loaded 1\nonline 0\n");
}

TEST_F(RasSystemTest, TunWithoutReaderIsStillConnecting) {
    Space->Run({"ip", "tuntap", "add", "dev", "lumtun1", "mode", "tun"});
    EXPECT_THAT(Space->Poll(), HasSubstr("status Port opened\n"));
    Space->Run({"ip", "link", "set", "lumtun1", "up"});
    const std::string upWithoutCarrier = Space->Poll();
    EXPECT_THAT(upWithoutCarrier, HasSubstr("status Connecting device\n"));
    EXPECT_THAT(upWithoutCarrier, Not(HasSubstr("connected")));
    EXPECT_THAT(upWithoutCarrier, HasSubstr("online 0\n"));
}

} // namespace
} // namespace lumenpost
