#include "relay_app/app_main.h"

#include "relay_app/command_line.h"
#include "relay_app/form1.h"
#include "relay_app/headless_console.h"
#include "relay_app/relay_app.h"
#include "relay_app/single_instance.h"
#include "relay_app/termination_signals.h"

#include <QApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <cstdio>

namespace lumenpost {
namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNotRunning = 1;

bool NoDisplay() {
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// SIGINT and SIGTERM close like the window: settings and autostart entry written,
// exit status 0. If they cannot be written, say so and end with status 1.
void CloseOnSignals(TerminationSignals& terminations, RelayApp& relay) {
    QObject::connect(&terminations, &TerminationSignals::received, &terminations, [&relay] {
        const auto error = relay.Close();
        if (error) {
            ReportErrorOnStderr(*error);
        }
        QCoreApplication::exit(error ? kExitNotRunning : 0);
    });
}

// Ends a second copy before it does anything else.
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

int RunWindow(int argc, char** argv, const CommandLineOptions& options) {
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("lumenpost"));
    QApplication::setApplicationDisplayName(QString::fromLatin1(TForm1::kTitle));
    // The window hides to the tray; only its close (or the exit item) ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    TSingleInstance guard;
    if (!FirstCopy(guard)) {
        return kExitNotRunning;
    }
    RelayApp relay(options, QCoreApplication::applicationFilePath());
    const auto showError = [](const QString& text) {
        QMessageBox::critical(nullptr, QString::fromLatin1(TForm1::kTitle), text);
    };
    TForm1 form(relay, FormEnvironment{QSystemTrayIcon::isSystemTrayAvailable(), showError});
    QObject::connect(&form, &TForm1::closed, &app, &QCoreApplication::quit);
    TerminationSignals terminations;
    CloseOnSignals(terminations, relay);
    form.FormCreate();
    form.ShowAfterStart();
    return app.exec();
}

} // namespace

int RunLumenpost(int argc, char** argv, const char* version) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    const ParsedCommandLine parsed = ParseCommandLine(arguments);
    if (!parsed.error.isEmpty()) {
        ReportErrorOnStderr(parsed.error);
        return kExitUsage;
    }
    const CommandLineOptions& options = parsed.options;
    if (options.help) {
        std::fputs(UsageText().toUtf8().constData(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("lumenpost %s\n", version);
        return 0;
    }
    if (!options.headless && NoDisplay()) {
        ReportErrorOnStderr(QStringLiteral(
            "no display found (DISPLAY and WAYLAND_DISPLAY are unset); running headless"));
    }
    if (options.headless || NoDisplay()) {
        return RunHeadless(argc, argv, options);
    }
    return RunWindow(argc, argv, options);
}

} // namespace lumenpost
