#include "app/app_main.h"

#include "app/headless_console.h"
#include "app/password_file.h"
#include "app/relay_app.h"
#include "system/single_instance.h"
#include "system/termination_signals.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <cstdio>
#include <sysexits.h>

namespace lumenpost {
namespace {

bool NoDisplay() {
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Under this name (the package's link to the program) it is the sendmail-style command.
constexpr auto kSendmailName = "lumenpost-sendmail";

QStringList ArgumentsOf(int argc, char** argv) {
    QStringList arguments;
    if (argc > 0 &&
        QFileInfo(QString::fromLocal8Bit(argv[0])).fileName() == QLatin1String(kSendmailName)) {
        arguments.append(QStringLiteral("--sendmail"));
    }
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    return arguments;
}

// Why a program that was not asked to run headless does so; empty when it need not.
QString HeadlessReason(bool windowBuilt) {
    if (!windowBuilt) {
        return QStringLiteral("this build has no window; running headless");
    }
    if (NoDisplay()) {
        return QStringLiteral(
            "no display found (DISPLAY and WAYLAND_DISPLAY are unset); running headless");
    }
    return {};
}

} // namespace

StartRequest ReadStart(int argc, char** argv, const char* version, bool windowBuilt) {
    const ParsedCommandLine parsed = ParseCommandLine(ArgumentsOf(argc, argv));
    StartRequest request;
    if (!parsed.error.isEmpty()) {
        ReportErrorOnStderr(parsed.error);
        request.exitStatus = parsed.options.sendmail ? EX_USAGE : kExitUsage;
        return request;
    }
    for (const QString& warning : parsed.warnings) {
        ReportErrorOnStderr(QStringLiteral("warning: ") + warning);
    }
    request.options = parsed.options;
    if (request.options.help) {
        std::fputs(UsageText().toUtf8().constData(), stdout);
        request.exitStatus = 0;
        return request;
    }
    if (request.options.version) {
        std::printf("lumenpost %s\n", version);
        request.exitStatus = 0;
        return request;
    }
    if (!request.options.queueCommand.isEmpty() || request.options.sendmail) {
        return request; // a queue command or a message runs without window or server
    }
    if (!request.options.passwordFile.isEmpty()) {
        PasswordFileRead read = ReadPasswordFile(request.options.passwordFile);
        if (!read.password) {
            ReportErrorOnStderr(read.error);
            request.exitStatus = kExitUsage;
            return request;
        }
        request.options.relayPassword = std::move(read.password);
    }
    request.headless = request.options.headless;
    if (const QString reason = HeadlessReason(windowBuilt); !reason.isEmpty()) {
        if (!request.headless) {
            ReportErrorOnStderr(reason);
        }
        request.headless = true;
    }
    return request;
}

void CloseOnSignals(TerminationSignals& terminations, RelayApp& relay) {
    QObject::connect(&terminations, &TerminationSignals::received, &terminations, [&relay] {
        const auto error = relay.Close();
        if (error) {
            ReportErrorOnStderr(*error);
        }
        QCoreApplication::exit(error ? kExitNotRunning : 0);
    });
}

bool FirstCopy(TSingleInstance& guard) {
    if (guard.Check(RuntimeDirectory(), QCoreApplication::applicationFilePath())) {
        return true;
    }
    ReportErrorOnStderr(guard.Error());
    return false;
}

int RunHeadless(int argc, char** argv, const CommandLineOptions& options) {
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("lumenpost"));
    TSingleInstance guard;
    if (!FirstCopy(guard)) {
        return kExitNotRunning;
    }
    RelayApp relay(options, QCoreApplication::applicationFilePath());
    HeadlessConsole console(relay.Core());
    TerminationSignals terminations;
    CloseOnSignals(terminations, relay);
    for (auto step : {&RelayApp::SwitchServerOn, &RelayApp::LoadState}) {
        if (auto error = (relay.*step)()) {
            ReportErrorOnStderr(*error);
        }
    }
    return app.exec();
}

} // namespace lumenpost
