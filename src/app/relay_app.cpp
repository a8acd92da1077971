#include "app/relay_app.h"

#include "relay/client_access.h"
#include "smtp_server/smtp_server.h"

#include <QRegularExpression>
#include <exception>

namespace lumenpost {
namespace {

// The server as the window's design fixes it; --listen replaces address and port.
void ConfigureSmtpServer(TSmtpServer& server, const std::optional<ListenAddress>& listen) {
    server.SetSrvAddr("0.0.0.0");
    server.SetSrvPort("Smtp");
    if (listen) {
        server.SetSrvAddr(listen->address.toStdString());
        server.SetSrvPort(listen->port.toStdString());
    }
    server.SetHelloMessage("220 SMTP Server Ready.");
    server.SetMaxUser(2);
    server.SetCommandTimeout(10);
    server.SetDelayAfterCmd(3);
    server.SetDebugMode(true);
}

} // namespace

RelayApp::RelayApp(const CommandLineOptions& options, const QString& executablePath,
                   RelayServices services)
    : settingsFile_(ConfigHome() + u'/' + SettingsFileName(executablePath)),
      autostart_(ConfigHome(), executablePath), SmtpServer1(std::make_unique<TSmtpServer>()),
      workers_(std::move(services), [this](const RelayOutcome& outcome) { ShowOutcome(outcome); }) {
    ConfigureSmtpServer(*SmtpServer1, options.listen);
    core_.SetAllowFrom(options.allowFrom);
    ConnectIntake();
    ras.OnRasConnected = [this](TRasMonitor&, const TRasConnectionDetails&) { rasRasConnected(); };
}

void RelayApp::ConnectIntake() {
    TSmtpServer& server = *SmtpServer1;
    server.OnClientConnect = [this](TSmtpServer&, TAsyncSocket& client, bool& allowed) {
        SmtpServer1ClientConnect(client, allowed);
    };
    server.OnClientDisconnect = [this](TSmtpServer&, TAsyncSocket& client) {
        intake_.SessionEnded(&client);
    };
    server.OnMailFrom = [this](TSmtpServer&, TAsyncSocket& client, const std::string& address,
                               std::string&) { SmtpServer1MailFrom(client, address); };
    server.OnMailTo = [this](TSmtpServer&, TAsyncSocket& client, const std::string& address,
                             std::string&) { SmtpServer1MailTo(client, address); };
    server.OnReset = [this](TSmtpServer&, TAsyncSocket& client, std::string&) {
        intake_.Reset(&client);
    };
    server.OnSendData = [this](TSmtpServer&, TAsyncSocket& client, bool lastPart,
                               const std::string& msg) {
        SmtpServer1SendData(client, lastPart, msg);
    };
}

// The own addresses are read at every connect, so a link that comes up later counts.
void RelayApp::SmtpServer1ClientConnect(TAsyncSocket& Client, bool& Allowed) {
    Allowed = ClientAllowed(Client.PeerAddr(), OwnIpv4Addresses(), core_.AllowFrom());
}

void RelayApp::SmtpServer1MailFrom(TAsyncSocket& Client, const std::string& Adress) {
    intake_.MailFrom(&Client, Adress);
    ShowReceiving(core_);
}

void RelayApp::SmtpServer1MailTo(TAsyncSocket& Client, const std::string& Adress) {
    intake_.MailTo(&Client, Adress);
}

// Every recipient gets its own pass; the settings are read here, on the UI thread.
void RelayApp::SmtpServer1SendData(TAsyncSocket& Client, bool LastPart, const std::string& Msg) {
    for (RelayJob& job : intake_.SendData(&Client, LastPart, Msg)) {
        workers_.Start(std::move(job), RelayPassSettings::From(core_.Settings()));
    }
}

void RelayApp::ShowOutcome(const RelayOutcome& outcome) {
    core_.SetStatus(QString::fromStdString(outcome.status));
    const QString text = QString::fromStdString(outcome.logText);
    if (outcome.relayed) {
        core_.AddRelayed(text);
    } else {
        core_.AddFailed(text);
    }
}

// The server goes first, so that nothing it does while it ends can reach an intake or a
// core that is already gone.
RelayApp::~RelayApp() {
    SmtpServer1.reset();
}

std::optional<QString> RelayApp::SwitchServerOn() {
    try {
        SmtpServer1->SetActive(true);
        return std::nullopt;
    } catch (const std::exception& failure) {
        // The socket layer's texts put the error number and its meaning on two lines.
        const QString reason =
            QString::fromStdString(failure.what())
                .split(QRegularExpression(QStringLiteral("[\\r\\n]+")), Qt::SkipEmptyParts)
                .join(QStringLiteral(": "));
        return QStringLiteral("The SMTP server cannot listen on %1 port %2 (%3). Port 25 needs "
                              "root rights and must be free; another port can be chosen with "
                              "--listen, e.g. --listen 127.0.0.1:2525.")
            .arg(QString::fromStdString(SmtpServer1->SrvAddr()),
                 QString::fromStdString(SmtpServer1->SrvPort()), reason);
    }
}

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
