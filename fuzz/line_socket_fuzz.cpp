// The line layer with arbitrary reads and mode switches: the stream reaches the socket
// through a socket pair in arbitrary pieces, and the data handler reads whole lines or
// a few bytes, switches line mode, and the stream ends with the peer's close. Unless
// bytes are edited or dropped at the line limit, the handler reads exactly what was
// sent.
#include "fuzz_input.h"
#include "net_events/async_socket.h"

#include <QCoreApplication>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace lumenpost;

constexpr int kMostPumps = 32;

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "fuzz_line_socket";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

class LineRun {
public:
    explicit LineRun(fuzz::FuzzInput& input) : input_(input) {}

    bool Open() {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            return false;
        }
        peer_ = ends[1];
        fcntl(peer_, F_SETFL, O_NONBLOCK);
        Configure();
        socket_.Dup(ends[0]);
        return true;
    }

    ~LineRun() {
        if (peer_ >= 0) {
            close(peer_);
        }
    }
    LineRun(const LineRun&) = delete;
    LineRun& operator=(const LineRun&) = delete;

    void Run() {
        std::size_t written = 0;
        while (!input_.AtEnd() && socket_.State() == TSocketState::wsConnected) {
            const std::string_view block = input_.NextBlock();
            sent_ += block;
            written += Write(block);
            Pump([&] { return socket_.ReadCount() >= static_cast<std::int32_t>(written); });
        }
        close(peer_);
        peer_ = -1;
        Pump([&] { return socket_.State() == TSocketState::wsClosed; });
        if (exact_ && got_ != sent_) {
            std::abort();
        }
    }

private:
    void Configure() {
        socket_.SetLineMode(input_.Chance(4) == false);
        socket_.SetLineEcho(input_.Chance(4));
        if (input_.Chance(8)) {
            socket_.SetLineEdit(true);
            exact_ = false;
        }
        if (input_.Chance(8)) {
            socket_.SetLineLimit(static_cast<std::int32_t>(1 + input_.Draw() % 64));
            exact_ = false;
        }
        socket_.OnDataAvailable = [this](TCustomAsyncSocket&, std::uint16_t) { Read(); };
    }

    // Reads at least one byte, so that nothing is dropped for being left unread.
    void Read() {
        if (socket_.LineMode() && !input_.Chance(4)) {
            got_ += socket_.ReceiveText();
        } else {
            char buffer[64];
            const auto wanted = static_cast<std::int32_t>(1 + input_.Draw() % sizeof buffer);
            const std::int32_t n = socket_.ReceiveBytes(buffer, wanted);
            if (n > 0) {
                got_.append(buffer, static_cast<std::size_t>(n));
            }
        }
        if (input_.Chance(6)) {
            socket_.SetLineMode(!socket_.LineMode());
        }
    }

    std::size_t Write(std::string_view block) {
        DrainEcho();
        const auto n = send(peer_, block.data(), block.size(), MSG_NOSIGNAL);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    void DrainEcho() {
        char buffer[4096];
        while (read(peer_, buffer, sizeof buffer) > 0) {
        }
    }

    template <typename Done> void Pump(Done done) {
        for (int i = 0; i < kMostPumps; ++i) {
            App().processEvents();
            if (done()) {
                break;
            }
        }
        App().processEvents(); // notices the last delivery posted
    }

    fuzz::FuzzInput& input_;
    TAsyncSocket socket_;
    int peer_ = -1;
    std::string sent_;
    std::string got_;
    bool exact_ = true;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    App();
    fuzz::FuzzInput input(data, size);
    LineRun run(input);
    if (run.Open()) {
        run.Run();
    }
    return 0;
}
