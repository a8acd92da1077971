#include "relay_app/relay_app.h"

namespace lumenpost {

std::optional<QString> RelayApp::LoadState() {
    core_.ClearRelayed();
    core_.ClearFailed();
    std::optional<QString> error;
    try {
        ras.SetEnabled(true);
    } catch (const ERasError& failure) {
        error = QString::fromStdString(failure.what());
    }
    core_.SetSettings(settingsFile_.Read());
    settingsLoaded_ = true;
    rasRasConnected();
    return error;
}

void RelayApp::rasRasConnected() {
    const std::string_view linkAddress = ras.ConnectionDetails().IPAddress.Text();
    core_.SetLocalAddress(
        QString::fromStdString(linkAddress.empty() ? ras.LocalIP() : std::string(linkAddress)));
}

std::optional<QString> RelayApp::Close() {
    if (!settingsLoaded_) {
        return std::nullopt; // nothing was read, so nothing may be written back
    }
    const RelaySettings& settings = core_.Settings();
    if (auto error = settingsFile_.Write(settings)) {
        return error;
    }
    return autostart_.Apply(settings.autorun);
}

} // namespace lumenpost
