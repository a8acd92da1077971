#pragma once

#include "app/sendmail_arguments.h"
#include "relay/ipv4_network.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

namespace lumenpost {

// Where the SMTP server listens: an IPv4 address and a port number or service name.
struct ListenAddress {
    QString address;
    QString port;
};

struct CommandLineOptions {
    bool headless = false;
    bool help = false;
    bool version = false;
    std::optional<ListenAddress> listen;
    std::vector<Ipv4Network> allowFrom;
    // A queue command for the running relay (or the queue folder when none runs):
    // "QUEUE", "RETRY", "RETRY <id>", "RESEND <id>", "DELETE <id>".
    QString queueCommand;
    // --password-file: where the relay host's password is.
    QString passwordFile;
    // Its first line, read at start-up (ReadStart); nothing without --password-file.
    std::optional<std::string> relayPassword;
    // --sendmail (the first argument): a message on stdin to queue; set even when what
    // follows it is wrong, so that the error gets the sendmail-style exit status.
    std::optional<SendmailOptions> sendmail;
};

struct ParsedCommandLine {
    CommandLineOptions options;
    QString error;        // empty when the arguments were understood
    QStringList warnings; // understood, but worth telling the user (stderr)
};

// --allow-from networks with a shorter prefix than this get an open-relay warning.
inline constexpr int kNarrowestOpenRelayPrefix = 8;

// Parses the program's arguments (without the program name). Options take their
// value as the next argument or after "=" (--listen=127.0.0.1:2525). With --sendmail
// first, the rest follows ParseSendmailArguments.
ParsedCommandLine ParseCommandLine(const QStringList& arguments);

// The text that --help prints.
QString UsageText();

} // namespace lumenpost
