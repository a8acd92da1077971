#include "relay/relay_workers.h"

#include <QCoreApplication>
#include <QThread>
#include <future>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

constexpr auto kBound = std::chrono::seconds(20);

RelayServices Services(std::function<bool()> deliver) {
    RelayServices services;
    services.LookupMailServers = [](const std::string&, const std::string&,
                                    std::vector<std::string>&) { return false; };
    services.SendMailLines = [deliver](const std::string&, const std::string&, const std::string&,
                                       const std::vector<std::string>&) { return deliver(); };
    services.SendMailWithHeaders = [](const std::string&, const std::string&, const std::string&,
                                      const std::string&,
                                      const std::vector<std::string>&) { return true; };
    services.PlayAlert = [](int) {};
    services.TimeOfDay = [] { return std::string("00:00:00"); };
    return services;
}

const RelayPassSettings kQuiet{"127.0.0.2", "pm@x.test", false, false};

// Runs the event loop until `done` or the bound has passed.
template <typename Done> bool ProcessEventsUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return done();
}

TEST(RelayWorkersTest, OutcomesOfOverlappingPassesArriveOnTheCreatingThread) {
    std::vector<std::string> logs;
    bool onCreatingThread = true;
    RelayWorkers workers(Services([] { return true; }), [&](const RelayOutcome& outcome) {
        onCreatingThread = onCreatingThread && QThread::currentThread() == qApp->thread();
        logs.push_back(outcome.logText);
    });
    for (const char* recipient : {"a@x.test", "b@y.test", "c@z.test"}) {
        ASSERT_TRUE(workers.Start(RelayJob{"s@w.test", recipient, {"line"}}, kQuiet));
    }
    ASSERT_TRUE(ProcessEventsUntil([&] { return logs.size() == 3; }));
    EXPECT_TRUE(onCreatingThread);
    std::sort(logs.begin(), logs.end());
    EXPECT_EQ(logs[1], "邮件转发成功！From:s@w.test/To:b@y.test/Time:00:00:00");
    EXPECT_TRUE(ProcessEventsUntil([&] { return workers.Running() == 0; }));
}

// Signals when the pass's shared state is freed, i.e. after the last worker let go.
struct FreedSignal {
    std::shared_ptr<std::promise<void>> freed = std::make_shared<std::promise<void>>();
    FreedSignal() = default;
    FreedSignal(const FreedSignal&) = default;
    ~FreedSignal() {
        if (freed.use_count() == 1) {
            freed->set_value();
        }
    }
};

TEST(RelayWorkersTest, OwnerGoesWhileAPassIsStuckAndItsOutcomeIsDropped) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> entered;
    std::future<void> freed;
    bool outcomeShown = false;
    {
        FreedSignal signal;
        freed = signal.freed->get_future();
        auto stuck = [released, &entered, signal] {
            entered.set_value();
            released.wait(); // an exchanger that does not answer
            return true;
        };
        RelayWorkers workers(
            Services(stuck), [&](const RelayOutcome&) { outcomeShown = true; },
            std::chrono::milliseconds(10));
        ASSERT_TRUE(workers.Start(RelayJob{"s@w.test", "r@x.test", {}}, kQuiet));
        entered.get_future().wait();
    } // returns although the pass still runs
    release.set_value();
    ASSERT_EQ(freed.wait_for(kBound), std::future_status::ready);
    QCoreApplication::processEvents();
    EXPECT_FALSE(outcomeShown);
}

} // namespace
} // namespace lumenpost
