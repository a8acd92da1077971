#include "app/command_line.h"

#include <algorithm>

namespace lumenpost {
namespace {

bool IsPortNumber(const QString& port) {
    bool ok = false;
    const int number = port.toInt(&ok);
    return ok && number >= 1 && number <= 65535 &&
           std::all_of(port.begin(), port.end(), [](QChar c) { return c.isDigit(); });
}

// Service names as /etc/services writes them: letters, digits, '-' and '_'.
bool IsServiceName(const QString& port) {
    return !port.isEmpty() && port.front().isLetter() &&
           std::all_of(port.begin(), port.end(),
                       [](QChar c) { return c.isLetterOrNumber() || c == u'-' || c == u'_'; });
}

std::optional<ListenAddress> ParseListen(const QString& text) {
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon < 0) {
        return std::nullopt;
    }
    ListenAddress listen{text.left(colon), text.mid(colon + 1)};
    if (!ParseIpv4(listen.address) || !(IsPortNumber(listen.port) || IsServiceName(listen.port))) {
        return std::nullopt;
    }
    return listen;
}

// Applies one option with a value; returns an error text or nothing.
std::optional<QString> ApplyValue(CommandLineOptions& options, const QString& name,
                                  const QString& value) {
    if (name == u"--password-file") {
        if (value.isEmpty()) {
            return QStringLiteral("--password-file needs the path of a file; see --help");
        }
        options.passwordFile = value;
        return std::nullopt;
    }
    if (name == u"--listen") {
        options.listen = ParseListen(value);
        if (!options.listen) {
            return QStringLiteral("--listen needs ADDR:PORT with an IPv4 address and a port "
                                  "number or service name, such as 127.0.0.1:2525; got '%1'")
                .arg(value);
        }
        return std::nullopt;
    }
    const auto network = Ipv4Network::Parse(value);
    if (!network) {
        return QStringLiteral("--allow-from needs an IPv4 network such as 192.168.1.0/24 or "
                              "one address such as 10.0.0.7; got '%1'")
            .arg(value);
    }
    // "10.0.0.1/8" names one host and a network at once: which was meant is not clear.
    if (ParseIpv4(value.section(u'/', 0, 0)) != network->address) {
        return QStringLiteral("--allow-from %1 has host bits set: write the network as %2, or "
                              "the one address as %3")
            .arg(value, network->ToString(), value.section(u'/', 0, 0));
    }
    options.allowFrom.push_back(*network);
    return std::nullopt;
}

// A network wider than /8 lets most of the world send mail through this machine.
void WarnOfOpenRelay(const Ipv4Network& network, QStringList& warnings) {
    if (network.prefix < kNarrowestOpenRelayPrefix) {
        warnings.append(QStringLiteral("--allow-from %1 lets every client of that network send "
                                       "mail anywhere through this machine: it makes an open "
                                       "relay, which spammers find and use")
                            .arg(network.ToString()));
    }
}

// A queue id as the queue writes them: letters and digits.
bool IsQueueId(const QString& text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c.isLetterOrNumber() && c.unicode() < 0x80;
    });
}

// --queue, --retry [ID], --resend ID, --delete ID; `i` moves past a value taken.
std::optional<QString> ApplyQueueCommand(CommandLineOptions& options, const QStringList& arguments,
                                         qsizetype& i) {
    const QString& name = arguments[i];
    if (!options.queueCommand.isEmpty()) {
        return QStringLiteral("only one queue command at a time; '%1' follows another").arg(name);
    }
    const bool hasNext = i + 1 < arguments.size() && !arguments[i + 1].startsWith(u'-');
    if (name == u"--queue") {
        options.queueCommand = QStringLiteral("QUEUE");
        return std::nullopt;
    }
    const QString verb = name.mid(2).toUpper();
    if (!hasNext && name == u"--retry") {
        options.queueCommand = verb;
        return std::nullopt;
    }
    if (!hasNext || !IsQueueId(arguments[i + 1])) {
        return QStringLiteral("%1 needs a queue id (letters and digits) as --queue lists them")
            .arg(name);
    }
    options.queueCommand = verb + u' ' + arguments[++i];
    return std::nullopt;
}

bool IsQueueOption(const QString& argument) {
    return argument == u"--queue" || argument == u"--retry" || argument == u"--resend" ||
           argument == u"--delete";
}

} // namespace

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
    ParsedCommandLine parsed;
    CommandLineOptions& options = parsed.options;
    if (!arguments.isEmpty() && arguments.front() == u"--sendmail") {
        ParsedSendmail sendmail = ParseSendmailArguments(arguments.mid(1));
        options.sendmail = std::move(sendmail.options);
        parsed.error = std::move(sendmail.error);
        return parsed;
    }
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const qsizetype equals = argument.indexOf(u'=');
        const QString name = equals < 0 ? argument : argument.left(equals);
        if (argument == u"--headless") {
            options.headless = true;
        } else if (argument == u"--help") {
            options.help = true;
        } else if (argument == u"--version") {
            options.version = true;
        } else if (IsQueueOption(argument)) {
            if (auto error = ApplyQueueCommand(options, arguments, i)) {
                parsed.error = *error;
                return parsed;
            }
        } else if (name == u"--listen" || name == u"--allow-from" || name == u"--password-file") {
            if (equals < 0 && i + 1 >= arguments.size()) {
                parsed.error = QStringLiteral("%1 needs a value; see --help").arg(name);
                return parsed;
            }
            const QString value = equals < 0 ? arguments[++i] : argument.mid(equals + 1);
            if (auto error = ApplyValue(options, name, value)) {
                parsed.error = *error;
                return parsed;
            }
            if (name == u"--allow-from") {
                WarnOfOpenRelay(options.allowFrom.back(), parsed.warnings);
            }
        } else if (argument == u"--sendmail") {
            parsed.error = QStringLiteral("--sendmail must be the first argument; the sender, "
                                          "the recipients and its options follow it");
            return parsed;
        } else {
            parsed.error = QStringLiteral("unknown argument '%1'; see --help").arg(argument);
            return parsed;
        }
    }
    return parsed;
}

QString UsageText() {
    return QStringLiteral(
        "Usage: lumenpost [--headless] [--listen ADDR:PORT] [--allow-from CIDR]...\n"
        "                 [--password-file PATH] [--help] [--version]\n"
        "       lumenpost --queue | --retry [ID] | --resend ID | --delete ID\n"
        "       lumenpost --sendmail [-t] [-i|-oi] [-f SENDER] [RECIPIENT...] < MESSAGE\n"
        "A desktop mail relay: accepts mail over SMTP and delivers each message at once\n"
        "to the recipient domain's mail exchanger.\n"
        "  --headless           run without window and tray; log lines go to stdout\n"
        "                       (also chosen when neither DISPLAY nor WAYLAND_DISPLAY is set)\n"
        "  --listen ADDR:PORT   listen on this IPv4 address and port (number or service\n"
        "                       name) instead of 0.0.0.0:smtp, e.g. 127.0.0.1:2525\n"
        "  --allow-from CIDR    also relay for clients of this network, e.g. 192.168.1.0/24\n"
        "                       (loopback and this machine's addresses always may); repeatable\n"
        "  --password-file PATH the password for relayuser at relayhost (settings file): the\n"
        "                       file's first line; it must not be readable by group or others\n"
        "                       (chmod 600). Without it the desktop's secret store is asked\n"
        "  --queue              list queued and failed recipients, one line each\n"
        "  --retry [ID]         try deferred recipients now (all, or one message's)\n"
        "  --resend ID          queue a failed message's failed recipients again\n"
        "  --delete ID          remove a message from the queue\n"
        "  --sendmail           queue the message read from stdin (LF or CR LF lines; a line\n"
        "                       of a single '.' ends it) for the recipients named; Date and\n"
        "                       Message-ID are added when missing, Bcc fields removed. It\n"
        "                       must come first; the options after it are:\n"
        "      -t               also send to the addresses of the To, Cc and Bcc fields\n"
        "      -i, -oi          a '.' line does not end the message\n"
        "      -f SENDER        the envelope sender (-f '' for none); default\n"
        "                       <login name>@<this machine's name>\n"
        "                       Exit status: 0 queued, 64 bad arguments or addresses,\n"
        "                       65 message not text or over maxsize, 74 stdin unreadable,\n"
        "                       75 the queue cannot take it now (try again later)\n"
        "  --help               show this text and exit\n"
        "  --version            show the version and exit\n"
        "With relayhost set every message goes to that server (port 587 with STARTTLS, or\n"
        "465 with TLS from the start) instead of the recipient's mail exchanger. Its\n"
        "certificate must be signed by a CA the system trusts (or one in the file named by\n"
        "LUMENPOST_CA_FILE) and name the host; otherwise nothing is sent, no password either,\n"
        "and the mail waits in the queue.\n");
}

} // namespace lumenpost
