#include "desktop/window_main.h"

#include "app/app_main.h"
#include "app/relay_app.h"
#include "desktop/form1.h"
#include "desktop/window_language.h"
#include "system/single_instance.h"
#include "system/termination_signals.h"

#include <QApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>

namespace lumenpost {

int RunWindow(int argc, char** argv, const CommandLineOptions& options) {
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("lumenpost"));
    QApplication::setApplicationDisplayName(QString::fromLatin1(TForm1::kTitle));
    // The window hides to the tray; only its close (or the exit item) ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    InstallWindowLanguage(app);
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

} // namespace lumenpost
