#include "app/relay_app.h"

#include "relay/client_access.h"
#include "relay/loop_guard.h"
#include "smtp_server/service_port.h"
#include "smtp_server/smtp_replies.h"
#include "smtp_server/smtp_server.h"
#include "smtp_server/smtp_session.h"
#include "system/single_instance.h"

#include <QRegularExpression>
#include <exception>

namespace lumenpost {
namespace {

constexpr std::uint16_t kSmtpPort = 25;

// The server as the window's design fixes it; --listen replaces address and port. The
// relay streams every message into the queue, so the server keeps no copy of it.
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
    server.SetKeepDataBuffer(false);
    server.SetMaxMessageSize(kDefaultMaxSize);
}

// Where this relay listens, for the loop check: --listen, or every address on port 25.
LoopGuard::Self ThisRelay(const std::optional<ListenAddress>& listen) {
    LoopGuard::Self self{{ThisMachineName()}, OwnIpv4Addresses, 0, kSmtpPort};
    if (listen) {
        self.listenAddress = ParseIpv4(listen->address).value_or(0);
        self.listenPort =
            QString::fromStdString(ResolveServicePort(listen->port.toStdString())).toUShort();
    }
    return self;
}

} // namespace

RelayApp::RelayApp(const CommandLineOptions& options, const QString& executablePath,
                   RelayServices services)
    : settingsFile_(ConfigHome() + u'/' + SettingsFileName(executablePath)),
      autostart_(ConfigHome(), executablePath), SmtpServer1(std::make_unique<TSmtpServer>()),
      queueFolder_(QueueFolder::DefaultPath()), intake_(queueFolder_, ThisMachineName(), UnixNow),
      controlPath_(ControlSocketPath(RuntimeDirectory(), executablePath)) {
    if (!services.CheckLoop) {
        services.CheckLoop = [guard = LoopGuard(ThisRelay(options.listen))](
                                 const std::string& domain,
                                 const std::vector<Exchanger>& exchangers) {
            return guard.Check(domain, exchangers);
        };
    }
    ProvidePassword(options, services);
    workers_ = std::make_unique<RelayWorkers>(
        std::move(services), [this](const RelayOutcome& outcome) { ShowOutcome(outcome); });
    queue_ = std::make_unique<RelayQueue>(
        queueFolder_, *workers_, [this] { return RelayPassSettings::From(core_.Settings()); },
        UnixNow, ThisMachineName());
    submissions_ = std::make_unique<SubmissionDesk>(
        queueFolder_, intake_, *queue_, [this] { return core_.Settings().maxsize; },
        ThisMachineName(), UnixNow);
    ConfigureSmtpServer(*SmtpServer1, options.listen);
    core_.SetAllowFrom(options.allowFrom);
    ConnectIntake();
    ras.OnRasConnected = [this](TRasMonitor&, const TRasConnectionDetails&) { rasRasConnected(); };
    QObject::connect(&core_, &RelayCore::settingsChanged, &core_, [this] { ApplySettings(); });
}

void RelayApp::ProvidePassword(const CommandLineOptions& options, RelayServices& services) {
    if (services.RelayPassword) {
        return;
    }
    if (options.relayPassword) {
        services.RelayPassword = [password = *options.relayPassword](const std::string&,
                                                                     const std::string&) {
            return std::optional(password);
        };
        return;
    }
    passwordStore_ = std::make_unique<RelayPasswordStore>();
    services.RelayPassword = [store = passwordStore_.get()](const std::string& user,
                                                            const std::string& host) {
        return store->Password(user, host);
    };
}

void RelayApp::ConnectIntake() {
    TSmtpServer& server = *SmtpServer1;
    server.OnClientConnect = [this](TSmtpServer&, TAsyncSocket& client, bool& allowed) {
        SmtpServer1ClientConnect(client, allowed);
    };
    server.OnClientDisconnect = [this](TSmtpServer&, TAsyncSocket& client) {
        intake_.SessionEnded(&client);
    };
    server.OnUsername = [this](TSmtpServer&, TAsyncSocket& client, const std::string& helo,
                               std::string&, bool&) { intake_.Hello(&client, helo); };
    server.OnMailFrom = [this](TSmtpServer&, TAsyncSocket& client, const std::string& address,
                               std::string&) { SmtpServer1MailFrom(client, address); };
    server.OnMailTo = [this](TSmtpServer&, TAsyncSocket& client, const std::string& address,
                             std::string&) { SmtpServer1MailTo(client, address); };
    server.OnReset = [this](TSmtpServer&, TAsyncSocket& client, std::string&) {
        intake_.Reset(&client);
    };
    server.OnSendDataInit = [this](TSmtpServer&, TAsyncSocket& client) {
        const auto* session = dynamic_cast<const SmtpSession*>(&client);
        intake_.StartData(&client, client.PeerAddr(), session != nullptr && session->Utf8Mail);
    };
    server.OnSendData = [this](TSmtpServer&, TAsyncSocket& client, bool lastPart,
                               const std::string& msg) {
        SmtpServer1SendData(client, lastPart, msg);
    };
    server.OnDataEnd = [this](TSmtpServer&, TAsyncSocket& client, bool oversized, std::string&,
                              const TSmtpLateAnswer& answerLater, bool& deferred) {
        deferred = true;
        SmtpServer1DataEnd(client, oversized, answerLater);
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

void RelayApp::SmtpServer1SendData(TAsyncSocket& Client, bool LastPart, const std::string& Msg) {
    intake_.SendData(&Client, LastPart, Msg);
}

// "250 OK " goes out only once the message is durable in the queue.
void RelayApp::SmtpServer1DataEnd(TAsyncSocket& Client, bool Oversized,
                                  const TSmtpLateAnswer& Answer) {
    intake_.EndData(&Client, Oversized, [this, Oversized, Answer](IntakeResult result) {
        Answer(std::string(Queued(std::move(result), Oversized)));
    });
}

std::string_view RelayApp::Queued(IntakeResult result, bool oversized) {
    if (oversized) {
        return smtp_replies::kMessageTooBig;
    }
    if (result.looping) {
        return smtp_replies::kTooManyHops;
    }
    if (!result.queued) {
        ReportQueueFault(result.error,
                         QStringLiteral("a message could not be queued (%1); the client was told "
                                        "to try again later. Check that %2 can be written and its "
                                        "disk has room; until a message is queued again, this "
                                        "fault is not reported again")
                             .arg(QString::fromStdString(result.error),
                                  QString::fromStdString(queueFolder_.Path())));
        return smtp_replies::kLocalError;
    }
    queueFaults_.Worked();
    queue_->Add(std::move(*result.queued));
    return smtp_replies::kMessageAccepted;
}

void RelayApp::ShowOutcome(const RelayOutcome& outcome) {
    if (auto error = queue_->Apply(outcome)) {
        ReportQueueFault(*error, QString::fromStdString(*error));
    } else {
        queueFaults_.Worked();
    }
    const QString text = QString::fromStdString(outcome.logText);
    switch (outcome.result) {
    case RelayResult::relayed:
        core_.SetStatus(QString::fromStdString(outcome.status));
        core_.AddRelayed(text);
        break;
    case RelayResult::failed:
        core_.SetStatus(QString::fromStdString(outcome.status));
        core_.AddFailed(text, QString::fromStdString(outcome.reason));
        core_.ReportRecipientFailed(QString::fromStdString(outcome.id),
                                    QString::fromStdString(outcome.MailRecipient),
                                    QString::fromStdString(outcome.reason));
        break;
    case RelayResult::deferred:
        core_.AddDeferred(text);
        return;
    }
    if (!outcome.exchanger.empty()) {
        core_.SetDeliveryDetail(QString::fromStdString(
            outcome.exchanger + ", " + (outcome.tls.empty() ? "in clear" : outcome.tls)));
    }
}

void RelayApp::ReportQueueFault(const std::string& error, const QString& text) {
    if (queueFaults_.IsNews(error)) {
        core_.ReportError(QStringLiteral("mail queue: ") + text);
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
                              "root rights or the capability the package gives the program "
                              "(sudo setcap cap_net_bind_service=+ep on it), and must be free; "
                              "another port can be chosen with --listen, e.g. --listen "
                              "127.0.0.1:2525.")
            .arg(QString::fromStdString(SmtpServer1->SrvAddr()),
                 QString::fromStdString(SmtpServer1->SrvPort()), reason);
    }
}

std::optional<QString> RelayApp::LoadState() {
    core_.ClearRelayed();
    core_.ClearFailed();
    QStringList errors;
    try {
        ras.SetEnabled(true);
    } catch (const ERasError& failure) {
        errors.append(QString::fromStdString(failure.what()));
    }
    core_.SetSettings(settingsFile_.Read());
    settingsLoaded_ = true;
    ApplySettings();
    rasRasConnected();
    for (const std::string& problem : queue_->Start()) {
        errors.append(QStringLiteral("mail queue: ") + QString::fromStdString(problem));
    }
    control_ = std::make_unique<ControlServer>([this](const std::string& request) {
        const QueueCommandReply reply = queue_->Command(request);
        return ControlReply{reply.ok, reply.text};
    });
    control_->SetFileHandler([this](ControlFileRequest request, ControlServer::Answer answer) {
        submissions_->Take(std::move(request), answer);
    });
    if (auto error = control_->Listen(controlPath_)) {
        errors.append(*error + QStringLiteral(" (queue commands of a second copy will fail)"));
    }
    if (errors.isEmpty()) {
        return std::nullopt;
    }
    return errors.join(u'\n');
}

void RelayApp::ApplySettings() {
    const RelaySettings& settings = core_.Settings();
    SmtpServer1->SetMaxMessageSize(settings.maxsize);
    workers_->SetConcurrency(settings.deliveries);
    if (passwordStore_) {
        passwordStore_->Load(settings.relayuser.trimmed(), settings.relayhost.trimmed());
    }
}

void RelayApp::rasRasConnected() {
    const std::string_view linkAddress = ras.ConnectionDetails().IPAddress.Text();
    core_.SetLocalAddress(
        QString::fromStdString(linkAddress.empty() ? ras.LocalIP() : std::string(linkAddress)));
}

std::optional<QString> RelayApp::ApplySettingsNow(const RelaySettings& settings) {
    core_.SetSettings(settings);
    return settingsFile_.Write(settings);
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
