#include "dialup/ras_local_address.h"
#include "dialup/ras_monitor.h"

#include <QEventLoop>
#include <QTimer>
#include <deque>
#include <gtest/gtest.h>
#include <unistd.h>

namespace lumenpost {
namespace {

using Poll = std::optional<std::vector<TRasConnection>>;

// The polls a scripted service answers, one entry per poll; afterwards no connection.
struct Script {
    bool Loads = true;
    std::deque<Poll> Polls;
};

class ScriptedRasService : public TRasService {
public:
    explicit ScriptedRasService(std::shared_ptr<Script> script) : Script_(std::move(script)) {}
    bool Load() override { return Script_->Loads; }
    Poll EnumConnections() override {
        if (Script_->Polls.empty()) {
            return std::vector<TRasConnection>{};
        }
        Poll next = std::move(Script_->Polls.front());
        Script_->Polls.pop_front();
        return next;
    }

private:
    std::shared_ptr<Script> Script_;
};

TRasConnection Link(std::uint32_t handle, std::uint32_t state, std::string local = "",
                    std::string server = "") {
    TRasConnection link;
    link.Handle = handle;
    link.EntryName = "ppp" + std::to_string(handle);
    link.DeviceType = "ppp";
    link.DeviceName = link.EntryName;
    link.Status.State = state;
    if (!local.empty()) {
        link.Projection = TRasIpProjection{std::move(local), std::move(server)};
    }
    return link;
}

class RasMonitorTest : public testing::Test {
protected:
    RasMonitorTest() : Monitor(std::make_unique<ScriptedRasService>(Plan)) {
        Monitor.OnRasConnected = [this](TRasMonitor& sender, const TRasConnectionDetails& d) {
            EXPECT_EQ(&sender, &Monitor);
            Fired.push_back("connected " + std::string(d.EntryName.Text()) + " " +
                            std::string(d.IPAddress.Text()) + " " +
                            std::string(d.ServerIPAddress.Text()));
        };
        Monitor.OnRasDisconnected = [this](TRasMonitor&, const TRasConnectionDetails& d) {
            Fired.push_back("disconnected");
            Dropped = d;
        };
        Monitor.OnRasStatusChanged = [this](TRasMonitor&, const TRasConnectionDetails& d,
                                            const std::string& status) {
            EXPECT_EQ(d.Status.Text(), status);
            Fired.push_back("status " + status);
        };
    }

    // Runs the given polls and returns the events they fired.
    std::vector<std::string> Run(std::vector<Poll> polls) {
        Fired.clear();
        for (Poll& poll : polls) {
            Plan->Polls.push_back(std::move(poll));
            Monitor.PollConnections();
        }
        return Fired;
    }

    std::shared_ptr<Script> Plan = std::make_shared<Script>();
    TRasMonitor Monitor;
    std::vector<std::string> Fired;
    TRasConnectionDetails Dropped;
};

using EventList = std::vector<std::string>;

TEST_F(RasMonitorTest, ConnectingStatesReportOnePerPollUntilConnected) {
    const Poll authenticated = std::vector{Link(7, 14)};
    EXPECT_EQ(Run({authenticated, authenticated, authenticated}),
              (EventList{"status Authenticated", "status Authenticated", "status Authenticated"}));
    EXPECT_FALSE(Monitor.Online());

    const Poll connected = std::vector{Link(7, 8192, "192.0.2.1", "192.0.2.2")};
    EXPECT_EQ(Run({connected}),
              (EventList{"connected ppp7 192.0.2.1 192.0.2.2", "status Connected"}));
    EXPECT_TRUE(Monitor.Online());
    EXPECT_EQ(Monitor.ConnectionDetails().Handle, 7u);
}

TEST_F(RasMonitorTest, NoEventsWhileOnlineAndAddressesOnlyOnTheConnectingPoll) {
    const Poll connected = std::vector{Link(3, 8192, "192.0.2.1", "192.0.2.2")};
    Run({connected});
    const Poll second = std::vector{Link(3, 8192, "192.0.2.1"), Link(4, 8192, "198.51.100.1")};
    EXPECT_TRUE(Run({connected, second, std::vector{Link(3, 14)}}).empty());
    const TRasConnectionDetails& details = Monitor.ConnectionDetails();
    EXPECT_EQ(details.Handle, 3u);
    EXPECT_EQ(details.Status.Text(), "Authenticated");
    EXPECT_EQ(details.IPAddress.Text(), "");
    EXPECT_EQ(details.ServerIPAddress.Text(), "");
}

TEST_F(RasMonitorTest, OnlyTheFirstOfTwoConnectionsIsReported) {
    const Poll both = std::vector{Link(1, 8192, "192.0.2.1", "192.0.2.2"),
                                  Link(2, 8192, "198.51.100.1", "198.51.100.2")};
    EXPECT_EQ(Run({both}), (EventList{"connected ppp1 192.0.2.1 192.0.2.2", "status Connected"}));
}

TEST_F(RasMonitorTest, DropReportsOnceWithZeroedRecordAndNextLinkIsReportedAgain) {
    const Poll connected = std::vector{Link(5, 8192, "192.0.2.1", "192.0.2.2")};
    const Poll none = std::vector<TRasConnection>{};
    Run({connected});
    EXPECT_EQ(Run({none, none}), (EventList{"disconnected"}));
    EXPECT_FALSE(Monitor.Online());
    EXPECT_EQ(Dropped.Handle, 0u);
    EXPECT_EQ(Dropped.Status.Length, 0);
    EXPECT_EQ(Dropped.EntryName.Text(), "");
    EXPECT_EQ(Dropped.IPAddress.Text(), "");

    EXPECT_EQ(Run({connected}),
              (EventList{"connected ppp5 192.0.2.1 192.0.2.2", "status Connected"}));
}

TEST_F(RasMonitorTest, FailedEnumerationIsOfflineWithoutEvents) {
    const Poll connected = std::vector{Link(5, 8192, "192.0.2.1")};
    Run({connected});
    EXPECT_TRUE(Run({std::nullopt, std::nullopt}).empty());
    EXPECT_FALSE(Monitor.Online());
    EXPECT_EQ(Monitor.ConnectionDetails().Handle, 0u);
    // The link is still there: it is reported as new.
    EXPECT_EQ(Run({connected}), (EventList{"connected ppp5 192.0.2.1 ", "status Connected"}));
}

TEST_F(RasMonitorTest, ConnectedWithoutProjectionStillReportsWithEmptyAddresses) {
    EXPECT_EQ(Run({std::vector{Link(9, 8192)}}),
              (EventList{"connected ppp9  ", "status Connected"}));
}

TEST_F(RasMonitorTest, ErrorCodeAndUnknownStates) {
    TRasConnection failed = Link(2, 5);
    failed.Status.ErrorCode = 678;
    TRasConnection unknown = Link(2, 22);
    EXPECT_EQ(Run({std::vector{failed}, std::vector{unknown}}), (EventList{"status ERRROR"}));
    EXPECT_EQ(Monitor.ConnectionDetails().Handle, 2u);

    EXPECT_EQ(StatusText({0, 0}), "Opening port");
    EXPECT_EQ(StatusText({21, 0}), "Logging on network");
    EXPECT_EQ(StatusText({4099, 0}), "Password expired");
    EXPECT_EQ(StatusText({8193, 0}), "Disconnected");
    EXPECT_EQ(StatusText({0x30000 | 8192, 0}), "Connected"); // only the low 16 bits count
    EXPECT_EQ(StatusText({8192, 1}), "ERRROR");
    EXPECT_EQ(StatusText({4100, 0}), "");
}

TEST_F(RasMonitorTest, LongNamesAreCutToTheirFields) {
    TRasConnection link = Link(1, 14);
    link.EntryName = std::string(300, 'e');
    link.DeviceType = std::string(40, 't');
    Run({std::vector{link}});
    EXPECT_EQ(Monitor.ConnectionDetails().EntryName.Text(), std::string(256, 'e'));
    EXPECT_EQ(Monitor.ConnectionDetails().DeviceType.Text(), std::string(16, 't'));
}

TEST_F(RasMonitorTest, DefaultsAndAddressesAtCreation) {
    EXPECT_FALSE(Monitor.Enabled());
    EXPECT_EQ(Monitor.PollInterval(), 1000);
    EXPECT_FALSE(Monitor.Online());
    EXPECT_TRUE(Monitor.RasApiLoaded());
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(Monitor.LocalHost(), host);
    EXPECT_EQ(std::count(Monitor.LocalIP().begin(), Monitor.LocalIP().end(), '.'), 3);
}

TEST_F(RasMonitorTest, EnabledPollsOnTheTimerUntilSwitchedOff) {
    Monitor.SetPollInterval(5);
    Plan->Polls.push_back(std::vector{Link(1, 14)});
    QEventLoop loop;
    Monitor.OnRasStatusChanged = [&](TRasMonitor&, const TRasConnectionDetails&,
                                     const std::string&) { loop.quit(); };
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    Monitor.SetEnabled(true);
    Monitor.SetEnabled(true); // unchanged: nothing happens
    loop.exec();
    EXPECT_TRUE(Plan->Polls.empty()) << "no poll within 10 s";
    Monitor.SetEnabled(false);
    EXPECT_FALSE(Monitor.Enabled());
}

TEST(RasMonitorWithoutService, EnabledSetterRaisesEitherWay) {
    auto plan = std::make_shared<Script>();
    plan->Loads = false;
    TRasMonitor monitor(std::make_unique<ScriptedRasService>(plan));
    EXPECT_FALSE(monitor.RasApiLoaded());
    for (const bool value : {true, false}) {
        try {
            monitor.SetEnabled(value);
            ADD_FAILURE() << "no error for " << value;
        } catch (const ERasError& error) {
            EXPECT_STREQ(error.what(), "RASAPI Not Loaded, unable to access RAS Functions");
        }
    }
    EXPECT_FALSE(monitor.Enabled());
}

TEST(RasLocalAddress, PrefersAnOutwardAddressOverLoopback) {
    const std::vector<std::string> machine{"127.0.0.1", "10.1.2.3", "192.0.2.7"};
    EXPECT_EQ(ChooseLocalIP({"198.51.100.4", "127.0.1.1"}, machine), "198.51.100.4");
    EXPECT_EQ(ChooseLocalIP({"127.0.1.1", "198.51.100.4"}, machine), "127.0.1.1");
    EXPECT_EQ(ChooseLocalIP({"127.0.1.1"}, machine), "10.1.2.3");
    EXPECT_EQ(ChooseLocalIP({}, machine), "10.1.2.3");
    EXPECT_EQ(ChooseLocalIP({"127.0.1.1"}, {"127.0.0.1"}), "127.0.1.1");
    EXPECT_EQ(ChooseLocalIP({}, {}), "127.0.0.1");
}

} // namespace
} // namespace lumenpost
