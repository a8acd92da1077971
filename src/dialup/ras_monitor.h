#pragma once

#include "dialup/ras_connection_details.h"
#include "dialup/ras_service.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace lumenpost {

class TRasMonitor;

using TRasNotifyEvent =
    std::function<void(TRasMonitor& Sender, const TRasConnectionDetails& ConnectionDetails)>;
using TRasStatusNotifyEvent =
    std::function<void(TRasMonitor& Sender, const TRasConnectionDetails& ConnectionDetails,
                       const std::string& StatusStr)>;

// Raised by the monitor when the remote-access service cannot be used.
class ERasError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The state text of a connection status; "ERRROR" for any error code, the empty text for
// states it does not know.
std::string StatusText(const TRasConnStatus& status);

// Watches the dial-up connections: polls the remote-access service every PollInterval ms
// while enabled and reports when the first connection comes up or the last one goes.
// Everything, the events included, runs on the thread that owns the monitor.
class TRasMonitor : public QObject {
public:
    explicit TRasMonitor(QObject* owner = nullptr);
    explicit TRasMonitor(std::unique_ptr<TRasService> service, QObject* owner = nullptr);

    bool Enabled() const { return Enabled_; }
    // Throws ERasError when the service is not available, whatever the value.
    void SetEnabled(bool value);
    int PollInterval() const { return PollInterval_; }
    // Takes effect the next time polling is switched on.
    void SetPollInterval(int ms) { PollInterval_ = ms; }
    bool Online() const { return Online_; }
    bool RasApiLoaded() const { return RasApiLoaded_; }
    // Fixed at creation.
    const std::string& LocalIP() const { return LocalIP_; }
    const std::string& LocalHost() const { return LocalHost_; }
    // What the last poll found; the link's addresses are there only right after the poll
    // that saw it connect.
    const TRasConnectionDetails& ConnectionDetails() const { return Details; }

    // One poll of the service; the timer calls it.
    void PollConnections();
    bool LoadRasApi();

    TRasNotifyEvent OnRasConnected;
    TRasNotifyEvent OnRasDisconnected;
    TRasStatusNotifyEvent OnRasStatusChanged;

private:
    void ReportDisconnected();
    void FillDetails(const TRasConnection& connection);
    void ReportConnected(const TRasConnection& connection);

    std::unique_ptr<TRasService> Service;
    QTimer Timer;
    bool Enabled_ = false;
    int PollInterval_ = 1000;
    bool Online_ = false;
    bool RasApiLoaded_ = false;
    std::string LocalIP_;
    std::string LocalHost_;
    TRasConnectionDetails Details;
};

} // namespace lumenpost
