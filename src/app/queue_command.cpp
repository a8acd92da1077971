#include "app/queue_command.h"

#include "app/app_main.h"
#include "app/headless_console.h"
#include "relay/queue_book.h"
#include "system/control_channel.h"
#include "system/single_instance.h"

#include <QCoreApplication>
#include <cstdio>

namespace lumenpost {
namespace {

constexpr int kAskTimeoutMs = 10000;

int Print(const QueueCommandReply& reply) {
    if (!reply.ok) {
        ReportErrorOnStderr(QString::fromStdString(reply.text));
        return kExitNotRunning;
    }
    std::fputs(reply.text.c_str(), stdout);
    std::fflush(stdout);
    return 0;
}

// No relay runs and the lock is ours: the folder is ours to change.
int RunOnFolder(const std::string& request) {
    QueueBook book{QueueFolder(QueueFolder::DefaultPath())};
    for (const std::string& problem : book.Load()) {
        ReportErrorOnStderr(QStringLiteral("mail queue: ") + QString::fromStdString(problem));
    }
    return Print(RunQueueCommand(book, request));
}

int AskRelay(const QString& executablePath, const std::string& request) {
    const AskResult asked = AskRunningRelay(ControlSocketPath(RuntimeDirectory(), executablePath),
                                            request, kAskTimeoutMs);
    switch (asked.status) {
    case AskStatus::answered:
        return Print({asked.reply.ok, asked.reply.text});
    case AskStatus::notRunning:
        ReportErrorOnStderr(QStringLiteral(
            "a relay holds the lock but does not answer on its channel; try again in a moment"));
        return kExitNotRunning;
    case AskStatus::failed:
        break;
    }
    ReportErrorOnStderr(QString::fromStdString(asked.error));
    return kExitNotRunning;
}

} // namespace

int RunQueueCommandLine(int argc, char** argv, const QString& request) {
    QCoreApplication app(argc, argv);
    const QString executablePath = QCoreApplication::applicationFilePath();
    TSingleInstance guard;
    if (guard.Check(RuntimeDirectory(), executablePath)) {
        return RunOnFolder(request.toStdString());
    }
    return AskRelay(executablePath, request.toStdString());
}

} // namespace lumenpost
