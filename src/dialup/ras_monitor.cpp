#include "dialup/ras_monitor.h"

#include "dialup/ras_local_address.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace lumenpost {
namespace {

struct StateName {
    std::uint32_t State;
    std::string_view Text;
};

constexpr std::array<StateName, 28> kStateNames{{
    {0, "Opening port"},
    {1, "Port opened"},
    {2, "Connecting device"},
    {3, "Device connected"},
    {4, "All devices connected"},
    {5, "Start authenticating"},
    {6, "Authentication: notify"},
    {7, "Authentication: retry"},
    {8, "Authentication: callback"},
    {9, "Authentication: change password"},
    {10, "Authentication: projecting"},
    {11, "Authentication: link speed"},
    {12, "Authentication: acknowledge"},
    {13, "Authentication: reauthenticate"},
    {14, "Authenticated"},
    {15, "Preparing for callback"},
    {16, "Waiting for modem reset"},
    {17, "Waiting for callback"},
    {18, "Projected"},
    {19, "Start authentication"},
    {20, "Callback complete"},
    {21, "Logging on network"},
    {4096, "Interactive"},
    {4097, "Retry Authentication"},
    {4098, "Callback set by caller"},
    {4099, "Password expired"},
    {kRasConnected, "Connected"},
    {8193, "Disconnected"},
}};

// Only the low 16 bits of a state carry it.
std::uint32_t StateOf(const TRasConnStatus& status) {
    return status.State & 0xFFFFu;
}

} // namespace

std::string StatusText(const TRasConnStatus& status) {
    if (status.ErrorCode != 0) {
        return "ERRROR";
    }
    const auto found = std::find_if(kStateNames.begin(), kStateNames.end(),
                                    [&](const StateName& n) { return n.State == StateOf(status); });
    return found == kStateNames.end() ? std::string() : std::string(found->Text);
}

TRasMonitor::TRasMonitor(QObject* owner) : TRasMonitor(SystemRasService(), owner) {}

TRasMonitor::TRasMonitor(std::unique_ptr<TRasService> service, QObject* owner)
    : QObject(owner), Service(std::move(service)), Timer(this) {
    Timer.setInterval(PollInterval_);
    connect(&Timer, &QTimer::timeout, this, [this] { PollConnections(); });
    LocalHost_ = LocalHostName();
    LocalIP_ = LocalIPAddress(LocalHost_);
    RasApiLoaded_ = LoadRasApi();
}

bool TRasMonitor::LoadRasApi() {
    return Service->Load();
}

void TRasMonitor::SetEnabled(bool value) {
    if (!RasApiLoaded_) {
        throw ERasError("RASAPI Not Loaded, unable to access RAS Functions");
    }
    if (value == Enabled_) {
        return;
    }
    Enabled_ = value;
    if (value) {
        // A zero or negative interval would poll without pause or not at all.
        Timer.start(std::max(PollInterval_, 1));
    } else {
        Timer.stop();
    }
}

void TRasMonitor::PollConnections() {
    Details = {};
    const auto connections = Service->EnumConnections();
    if (!connections) {
        Online_ = false;
        return;
    }
    if (connections->empty()) {
        ReportDisconnected();
        return;
    }
    // Only the first connection is watched; others come and go unnoticed.
    const TRasConnection& connection = connections->front();
    FillDetails(connection);
    if (Online_) {
        return;
    }
    if (StateOf(connection.Status) == kRasConnected) {
        ReportConnected(connection);
    }
    if (Details.Status.Length != 0 && OnRasStatusChanged) {
        OnRasStatusChanged(*this, Details, std::string(Details.Status.Text()));
    }
}

void TRasMonitor::ReportDisconnected() {
    if (!Online_) {
        return;
    }
    Online_ = false;
    if (OnRasDisconnected) {
        OnRasDisconnected(*this, Details);
    }
}

void TRasMonitor::FillDetails(const TRasConnection& connection) {
    Details.Status.Assign(StatusText(connection.Status));
    Details.Handle = connection.Handle;
    Details.EntryName.Assign(connection.EntryName);
    Details.DeviceType.Assign(connection.DeviceType);
    Details.DeviceName.Assign(connection.DeviceName);
}

void TRasMonitor::ReportConnected(const TRasConnection& connection) {
    Online_ = true;
    if (connection.Projection) {
        Details.IPAddress.Assign(connection.Projection->LocalAddress);
        Details.ServerIPAddress.Assign(connection.Projection->ServerAddress);
    }
    if (OnRasConnected) {
        OnRasConnected(*this, Details);
    }
}

} // namespace lumenpost
