#pragma once

#include "app/command_line.h"
#include "app/relay_settings_file.h"
#include "app/submission_desk.h"
#include "app/system_services.h"
#include "dialup/ras_monitor.h"
#include "relay/mail_intake.h"
#include "relay/queue_fault_filter.h"
#include "relay/relay_core.h"
#include "relay/relay_queue.h"
#include "relay/relay_workers.h"
#include "smtp_server/smtp_server_events.h"
#include "system/autostart_entry.h"
#include "system/control_channel.h"
#include "system/relay_password_store.h"

#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace lumenpost {

class TSmtpServer;
class TAsyncSocket;

// The running relay without its window: the core, the SMTP server, the dial-up monitor,
// the settings file, the autostart entry and the mail queue, with the start-up and close
// steps that the window and the headless mode share. Accepted mail is streamed into the
// queue and answered once it is durable; the queue hands due recipients to the relay
// passes. Lives on the UI thread.
class RelayApp {
public:
    // Paths follow the executable's file name and the XDG folders as they are now.
    // `services` are what the relay passes use to look up, deliver and alert.
    RelayApp(const CommandLineOptions& options, const QString& executablePath,
             RelayServices services = SystemRelayServices());
    ~RelayApp();

    RelayCore& Core() { return core_; }
    const RelaySettingsFile& Settings() const { return settingsFile_; }
    const AutostartEntry& Autostart() const { return autostart_; }
    RelayQueue& Queue() { return *queue_; }
    // The secret store of the relay host's password (for the settings dialog's Write);
    // null when --password-file gave it.
    RelayPasswordStore* PasswordStore() { return passwordStore_.get(); }

    // Start-up step 1: switch the SMTP server on. Returns the error when it cannot
    // listen; the remaining steps go on all the same.
    std::optional<QString> SwitchServerOn();

    // Start-up steps after the server: empty logs and counters, the dial-up monitor on,
    // the settings read from the file, the local address shown, the queue read and its
    // due recipients started. Errors are returned, one per line; the steps go on.
    std::optional<QString> LoadState();

    // The close steps: writes the settings, then writes or removes the autostart entry.
    // Returns the error that stops the close (the program keeps running).
    std::optional<QString> Close();
    // Settings changed in the window's dialogs: in force at once and written to the file
    // right away. Returns what went wrong writing them.
    std::optional<QString> ApplySettingsNow(const RelaySettings& settings);

    // Relay passes running now.
    int RunningPasses() const { return workers_->Running(); }

private:
    // Handlers of the server's events: access at connect, then the intake.
    void SmtpServer1ClientConnect(TAsyncSocket& Client, bool& Allowed);
    void SmtpServer1MailFrom(TAsyncSocket& Client, const std::string& Adress);
    void SmtpServer1MailTo(TAsyncSocket& Client, const std::string& Adress);
    void SmtpServer1SendData(TAsyncSocket& Client, bool LastPart, const std::string& Msg);
    void SmtpServer1DataEnd(TAsyncSocket& Client, bool Oversized, const TSmtpLateAnswer& Answer);
    // Queues a message that the intake made durable; returns the client's reply.
    std::string_view Queued(IntakeResult result, bool oversized);
    void ConnectIntake();
    void ApplySettings();
    // The relay host's password for the passes: --password-file's, else the secret store's.
    void ProvidePassword(const CommandLineOptions& options, RelayServices& services);
    // Tells the user of a failure to write the queue (`error`) as `text`, once per run of
    // failures with one cause.
    void ReportQueueFault(const std::string& error, const QString& text);
    // Runs on the UI thread with the outcome of one pass.
    void ShowOutcome(const RelayOutcome& outcome);

    // Edit2's address: the dial-up link's own address, else the machine's first one.
    void rasRasConnected();

    RelayCore core_;
    RelaySettingsFile settingsFile_;
    AutostartEntry autostart_;
    std::unique_ptr<TSmtpServer> SmtpServer1;
    TRasMonitor ras;
    QueueFolder queueFolder_;
    QueueFaultFilter queueFaults_;
    MailIntake intake_;
    // Read by the passes; lives longer than the workers. Unset with --password-file.
    std::unique_ptr<RelayPasswordStore> passwordStore_;
    // The workers go before the queue that feeds them, so that no outcome reaches a
    // queue or core that is being destroyed.
    std::unique_ptr<RelayQueue> queue_;
    std::unique_ptr<RelayWorkers> workers_;
    // Takes messages of local programs (lumenpost --sendmail) into the queue.
    std::unique_ptr<SubmissionDesk> submissions_;
    // Answers queue commands and takes messages of a second invocation; listens once the
    // state is loaded.
    std::unique_ptr<ControlServer> control_;
    QString controlPath_;
    // Set once the settings were read, so a close can never write defaults over them.
    bool settingsLoaded_ = false;
};

} // namespace lumenpost
