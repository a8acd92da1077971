// Steps that only run on a socket, measured through a local socket pair: the line
// layer's splitting and the sender's dot-stuffing.
#include "delivery/smtp_sender.h"
#include "net_events/async_socket.h"
#include "sample_message.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace lumenpost::bench {
namespace {

constexpr std::size_t kBlock = 16 * 1024;
constexpr int kMostRounds = 100000;

struct SocketPair {
    int ends[2] = {-1, -1};
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends); }
    ~SocketPair() {
        for (const int end : ends) {
            if (end >= 0) {
                close(end);
            }
        }
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
};

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// One block of command-length lines per iteration, read line by line in the handler.
void LineSplitting(benchmark::State& state) {
    const std::string block = SampleText(kBlock);
    const auto linesPerBlock = static_cast<std::int64_t>(SampleLines(kBlock).size());
    SocketPair pair;
    TAsyncSocket socket;
    std::int64_t lines = 0;
    socket.SetLineMode(true);
    socket.OnDataAvailable = [&lines](TCustomAsyncSocket& sender, std::uint16_t) {
        benchmark::DoNotOptimize(sender.ReceiveText());
        ++lines;
    };
    socket.Dup(pair.ends[0]);
    pair.ends[0] = -1; // the socket owns it now
    std::int64_t expected = 0;
    for (auto _ : state) {
        if (!WriteAll(pair.ends[1], block)) {
            state.SkipWithError("the socket pair refused the block");
            break;
        }
        expected += linesPerBlock;
        for (int round = 0; lines < expected && round < kMostRounds; ++round) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        if (lines < expected) {
            state.SkipWithError("the line layer did not deliver every line");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * block.size()));
}
BENCHMARK(LineSplitting);

// Plays the exchanger for SendData until its end is shut: 354 after DATA, 250 after
// the end line.
void AnswerData(int fd) {
    std::string seen;
    char buffer[65536];
    for (;;) {
        for (const std::string_view wanted : {"DATA\r\n", "\r\n.\r\n"}) {
            while (seen.find(wanted) == std::string::npos) {
                const auto n = read(fd, buffer, sizeof buffer);
                if (n <= 0) {
                    return;
                }
                seen.append(buffer, static_cast<std::size_t>(n));
            }
            seen.erase(0, seen.find(wanted) + wanted.size());
            WriteAll(fd, wanted == "DATA\r\n" ? "354 go ahead\r\n" : "250 OK\r\n");
        }
    }
}

void DotStuffing(benchmark::State& state) {
    const std::vector<std::string> lines = SampleLines(kBlock);
    SocketPair pair;
    TSmtpSender sender;
    sender.ReplyTimeoutMs = 5000;
    sender.Socket().AttachHandle(pair.ends[0], IPPROTO_TCP);
    std::size_t sent = 0;
    {
        std::jthread exchanger(AnswerData, pair.ends[1]);
        for (auto _ : state) {
            if (!sender.SendData(lines)) {
                state.SkipWithError("the exchanger did not accept the message");
                break;
            }
            ++sent;
        }
        shutdown(pair.ends[1], SHUT_RDWR); // ends the exchanger's read once the run stops
    }
    sender.Socket().ReleaseHandle();
    pair.ends[0] = -1;
    state.SetBytesProcessed(static_cast<std::int64_t>(sent * kBlock));
}
BENCHMARK(DotStuffing);

} // namespace
} // namespace lumenpost::bench
