// The intake of the SMTP server component alone, for scripts/bench.sh: TSmtpServer
// without the pause before commands, at most two sessions, and handlers that only
// count. Usage: lumenpost_intake_server PORT [MAXUSER [QUEUEDIR]]. With QUEUEDIR every
// message is streamed into a queue folder there and made durable before its reply, as
// the relay does (MailIntake), so the figure includes the disk. Runs until SIGTERM or
// SIGINT, then prints the messages and bytes it took in.
#include "relay/mail_intake.h"
#include "smtp_server/smtp_replies.h"
#include "smtp_server/smtp_server.h"

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <optional>
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

// The relay's wiring of the intake (app/relay_app.cpp), without access checks, pause or
// delivery: only committed messages count.
void SpoolData(lumenpost::TSmtpServer& server, lumenpost::MailIntake& intake, Counts& counts) {
    using lumenpost::TAsyncSocket;
    using lumenpost::TSmtpServer;
    server.SetKeepDataBuffer(false);
    server.OnClientDisconnect = [&intake](TSmtpServer&, TAsyncSocket& client) {
        intake.SessionEnded(&client);
    };
    server.OnUsername = [&intake](TSmtpServer&, TAsyncSocket& client, const std::string& helo,
                                  std::string&, bool&) { intake.Hello(&client, helo); };
    server.OnMailFrom = [&intake](TSmtpServer&, TAsyncSocket& client, const std::string& address,
                                  std::string&) { intake.MailFrom(&client, address); };
    server.OnMailTo = [&intake](TSmtpServer&, TAsyncSocket& client, const std::string& address,
                                std::string&) { intake.MailTo(&client, address); };
    server.OnReset = [&intake](TSmtpServer&, TAsyncSocket& client, std::string&) {
        intake.Reset(&client);
    };
    server.OnSendDataInit = [&intake](TSmtpServer&, TAsyncSocket& client) {
        intake.StartData(&client, client.PeerAddr());
    };
    server.OnSendData = [&intake, &counts](TSmtpServer&, TAsyncSocket& client, bool last,
                                           const std::string& text) {
        counts.bytes += text.size();
        intake.SendData(&client, last, text);
    };
    server.OnDataEnd = [&intake,
                        &counts](TSmtpServer&, TAsyncSocket& client, bool oversized, std::string&,
                                 const lumenpost::TSmtpLateAnswer& answerLater, bool& deferred) {
        deferred = true;
        intake.EndData(&client, oversized, [&counts, answerLater](lumenpost::IntakeResult result) {
            if (result.queued) {
                ++counts.messages;
            }
            answerLater(std::string(result.queued ? lumenpost::smtp_replies::kMessageAccepted
                                                  : lumenpost::smtp_replies::kLocalError));
        });
    };
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s PORT [MAXUSER [QUEUEDIR]]\n", argv[0]);
        return 2;
    }
    Counts counts;
    lumenpost::TSmtpServer server;
    server.SetSrvAddr("127.0.0.1");
    server.SetSrvPort(argv[1]);
    server.SetDelayAfterCmd(0);
    server.SetMaxUser(argc >= 3 ? std::atoi(argv[2]) : 2);
    std::optional<lumenpost::MailIntake> intake;
    if (argc == 4) {
        lumenpost::QueueFolder folder(argv[3]);
        if (auto error = folder.Prepare()) {
            std::fprintf(stderr, "%s\n", error->c_str());
            return 1;
        }
        intake.emplace(std::move(folder), "bench.example",
                       [] { return static_cast<std::int64_t>(std::time(nullptr)); });
        SpoolData(server, *intake, counts);
    } else {
        CountData(server, counts);
    }
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
