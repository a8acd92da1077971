// The intake of the SMTP server component alone, for scripts/bench.sh: TSmtpServer
// without the pause before commands, at most two sessions, and handlers that only
// count. Usage: lumenpost_intake_server PORT [MAXUSER]. Runs until SIGTERM or SIGINT,
// then prints the messages and bytes it took in.
#include "smtp_server/smtp_server.h"

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void RequestStop(int) {
    stopRequested = 1;
}

struct Counts {
    std::uint64_t messages = 0;
    std::uint64_t bytes = 0;
};

void CountData(lumenpost::TSmtpServer& server, Counts& counts) {
    server.OnSendData = [&counts](lumenpost::TSmtpServer&, lumenpost::TAsyncSocket&, bool last,
                                  const std::string& text) {
        counts.bytes += text.size();
        counts.messages += last ? 1 : 0;
    };
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s PORT [MAXUSER]\n", argv[0]);
        return 2;
    }
    Counts counts;
    lumenpost::TSmtpServer server;
    server.SetSrvAddr("127.0.0.1");
    server.SetSrvPort(argv[1]);
    server.SetDelayAfterCmd(0);
    server.SetMaxUser(argc == 3 ? std::atoi(argv[2]) : 2);
    CountData(server, counts);
    try {
        server.SetActive(true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%s: %s\n", argv[1], e.what());
        return 1;
    }
    std::signal(SIGTERM, RequestStop);
    std::signal(SIGINT, RequestStop);
    QTimer stopCheck;
    QObject::connect(&stopCheck, &QTimer::timeout, [&app] {
        if (stopRequested != 0) {
            app.quit();
        }
    });
    stopCheck.start(20);
    app.exec();
    std::printf("received %llu messages, %llu bytes\n",
                static_cast<unsigned long long>(counts.messages),
                static_cast<unsigned long long>(counts.bytes));
    return 0;
}
