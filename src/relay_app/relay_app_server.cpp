// The SMTP server's part of the relay. TSmtpServer is still being built; until it is,
// the relay starts without listening and this file is the one place to wire it in.
#include "relay_app/relay_app.h"

namespace lumenpost {

class TSmtpServer {};

RelayApp::RelayApp(const CommandLineOptions& options, const QString& executablePath)
    : settingsFile_(ConfigHome() + u'/' + SettingsFileName(executablePath)),
      autostart_(ConfigHome(), executablePath), listen_(options.listen) {
    core_.SetAllowFrom(options.allowFrom);
    ras.OnRasConnected = [this](TRasMonitor&, const TRasConnectionDetails&) { rasRasConnected(); };
}

RelayApp::~RelayApp() = default;

std::optional<QString> RelayApp::SwitchServerOn() {
    return std::nullopt;
}

} // namespace lumenpost
