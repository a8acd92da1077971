#include "event_loop_wait.h"
#include "relay/relay_workers.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace lumenpost {
namespace {

constexpr auto kBound = std::chrono::seconds(20);

RelayServices Services(std::function<bool(const std::string& recipient)> deliver) {
    RelayServices services;
    services.ResolveRoute = [](const std::string&, const std::string& domain) {
        return Route{RouteStatus::found, "", {{"mx." + domain, {}}}};
    };
    services.DeliverMessage = [deliver](const RelayJob&, const std::vector<std::string>& recipients,
                                        const std::vector<Exchanger>&, const DeliveryOptions&) {
        MessageDeliveryResult result;
        for (const std::string& recipient : recipients) {
            result.recipients.push_back(
                {deliver(recipient) ? DeliveryStatus::delivered : DeliveryStatus::temporary, ""});
        }
        return result;
    };
    services.PlayAlert = [](int) {};
    services.Now = [] { return std::int64_t{0}; };
    return services;
}

const RelayPassSettings kQuiet{"127.0.0.2", "pm@x.test",    false, false, 3600,
                               {},          TlsPolicy::may, {},    {}};

RelayJob Job(const std::string& recipient) {
    return RelayJob{"id", "s@w.test", MailDomainOf(recipient), {{0, recipient, 0}}, "/dev/null",
                    0,    {}};
}

TEST(RelayWorkersTest, OutcomesOfOverlappingPassesArriveOnTheCreatingThread) {
    std::vector<std::string> logs;
    bool onCreatingThread = true;
    RelayWorkers workers(
        Services([](const std::string&) { return true; }), [&](const RelayOutcome& outcome) {
            onCreatingThread = onCreatingThread && QThread::currentThread() == qApp->thread();
            logs.push_back(outcome.logText);
        });
    for (const char* recipient : {"a@x.test", "b@y.test", "c@z.test"}) {
        ASSERT_TRUE(workers.Start(Job(recipient), kQuiet));
    }
    ASSERT_TRUE(ProcessEventsUntil([&] { return logs.size() == 3; }));
    EXPECT_TRUE(onCreatingThread);
    std::sort(logs.begin(), logs.end());
    EXPECT_EQ(logs[1], "邮件转发成功！From:s@w.test/To:b@y.test/Time:" + LocalTimeOfDay(0));
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
        auto stuck = [released, &entered, signal](const std::string&) {
            entered.set_value();
            released.wait(); // an exchanger that does not answer
            return true;
        };
        RelayWorkers workers(
            Services(stuck), [&](const RelayOutcome&) { outcomeShown = true; },
            std::chrono::milliseconds(10));
        ASSERT_TRUE(workers.Start(Job("r@x.test"), kQuiet));
        entered.get_future().wait();
    } // returns although the pass still runs
    release.set_value();
    ASSERT_EQ(freed.wait_for(kBound), std::future_status::ready);
    QCoreApplication::processEvents();
    EXPECT_FALSE(outcomeShown);
}

TEST(RelayWorkersTest, AFixedSetOfThreadsAndTwoPassesPerDomainWhateverTheLoad) {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    int running = 0;
    int mostRunning = 0;
    std::vector<std::string> started;
    auto stuck = [&](const std::string& recipient) {
        std::unique_lock lock(mutex);
        started.push_back(recipient);
        mostRunning = std::max(mostRunning, ++running);
        changed.notify_all();
        changed.wait_for(lock, kBound, [&] { return released; });
        --running;
        return true;
    };
    int outcomes = 0;
    RelayWorkers workers(Services(stuck), [&](const RelayOutcome&) { ++outcomes; });
    workers.SetConcurrency(3);
    for (int i = 0; i < 30; ++i) {
        workers.Start(Job("r" + std::to_string(i) + "@silent.test"), kQuiet);
    }
    workers.Start(Job("other@elsewhere.test"), kQuiet);
    {
        // Two passes to the silent domain and the one elsewhere: every slot the domain
        // limit allows is taken, and the rest wait.
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kBound, [&] { return running == 3; }));
        EXPECT_EQ(started.size(), 3u);
        EXPECT_EQ(std::count(started.begin(), started.end(), "other@elsewhere.test"), 1);
    }
    EXPECT_LE(workers.Threads(), 3);
    EXPECT_EQ(workers.Waiting(), 28);
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    ASSERT_TRUE(ProcessEventsUntil([&] { return outcomes == 31; }));
    EXPECT_LE(mostRunning, 3);
    EXPECT_LE(workers.Threads(), 3);
}

// A delivery whose outcome is not yet written to the queue would be repeated after a
// crash: its slot stays taken until the creating thread has handled the outcome.
TEST(RelayWorkersTest, ASlotStaysTakenUntilItsOutcomeIsHandled) {
    std::atomic<int> delivered = 0;
    std::atomic<int> handled = 0;
    std::atomic<int> mostUnhandled = 0;
    RelayWorkers workers(Services([&](const std::string&) {
                             const int unhandled = ++delivered - handled;
                             for (int most = mostUnhandled;
                                  unhandled > most &&
                                  !mostUnhandled.compare_exchange_weak(most, unhandled);) {
                             }
                             return true;
                         }),
                         [&](const RelayOutcome&) { ++handled; });
    workers.SetConcurrency(2);
    for (const char* recipient : {"a@v.test", "b@w.test", "c@x.test", "d@y.test", "e@z.test"}) {
        workers.Start(Job(recipient), kQuiet);
    }
    // No event handled: the first two passes end and the other three wait.
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while ((workers.Running() != 0 || delivered < 2) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(workers.Running(), 0);
    EXPECT_EQ(workers.Waiting(), 3);
    EXPECT_EQ(delivered, 2);
    ASSERT_TRUE(ProcessEventsUntil([&] { return handled == 5; }));
    EXPECT_EQ(mostUnhandled, 2);
}

} // namespace
} // namespace lumenpost
