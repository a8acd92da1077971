// The queue window over a queue of 10 000 deferred recipients: opening it (rows read,
// sorted, columns sized) and following one outcome (a message's rows refreshed).
#include "benchmark_main.h"
#include "desktop/queue_window.h"

#include <QApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <memory>

namespace lumenpost {
namespace {

constexpr int kMessages = 10000;
constexpr std::int64_t kNow = 1'800'000'000;

RelayServices IdleServices() {
    RelayServices services;
    services.PlayAlert = [](int) {};
    services.Now = [] { return kNow; };
    return services;
}

// A queue folder with kMessages messages whose one recipient waits an hour more.
class BigQueue {
public:
    BigQueue()
        : workers_(IdleServices(), [](const RelayOutcome&) {}),
          queue_(
              QueueFolder(dir_.path().toStdString()), workers_, [] { return RelayPassSettings{}; },
              [] { return kNow; }, "relay.test") {
        QueueFolder folder(dir_.path().toStdString());
        folder.Prepare();
        for (int i = 0; i < kMessages; ++i) {
            QueuedRecipient recipient = QueuedRecipient::Pending(
                "user" + std::to_string(i) + "@domain" + std::to_string(i % 97) + ".test");
            recipient.state = RecipientState::deferred;
            recipient.attempts = 1 + i % 5;
            recipient.nextAttempt = kNow + 3600;
            recipient.lastReason = "451 4.7.1 greylisted, try again later";
            Envelope envelope{QueueFolder::NewId(), kNow - i, "sender@relay.test", false, false,
                              {recipient}};
            std::string error;
            auto spool = folder.CreateSpool(envelope.id, error);
            if (!spool) {
                qFatal("cannot write the queue folder: %s", error.c_str());
            }
            spool->Append("Subject: t\r\n\r\nbody\r\n");
            spool->Commit(envelope);
            ids_.push_back(QString::fromStdString(envelope.id));
        }
        queue_.Start();
    }

    RelayQueue& Queue() { return queue_; }
    const QString& Id(std::size_t i) const { return ids_[i % ids_.size()]; }

private:
    QTemporaryDir dir_;
    RelayWorkers workers_;
    RelayQueue queue_;
    std::vector<QString> ids_;
};

BigQueue& Queue() {
    static BigQueue queue;
    return queue;
}

void BM_OpenQueueWindow(benchmark::State& state) {
    RelayQueue& queue = Queue().Queue();
    for (auto _ : state) {
        QueueWindow window(queue);
        benchmark::DoNotOptimize(window.Rows()->rowCount());
    }
    state.counters["rows"] = kMessages;
}
BENCHMARK(BM_OpenQueueWindow)->Unit(benchmark::kMillisecond);

void BM_FollowOneOutcome(benchmark::State& state) {
    BigQueue& big = Queue();
    QueueWindow window(big.Queue());
    std::size_t next = 0;
    for (auto _ : state) {
        emit big.Queue().changed(big.Id(next++));
    }
}
BENCHMARK(BM_FollowOneOutcome)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace lumenpost

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return RunBenchmarks<QApplication>(argc, argv);
}
