#include "app/sendmail_arguments.h"

namespace lumenpost {
namespace {

// "<a@b>" and "<>" as they are written after -f by habit; the address alone is kept.
std::string WithoutAngleBrackets(const QString& value) {
    std::string sender = value.toStdString();
    if (sender.size() >= 2 && sender.front() == '<' && sender.back() == '>') {
        sender = sender.substr(1, sender.size() - 2);
    }
    return sender;
}

QString UnknownOption(const QString& option) {
    return QStringLiteral("--sendmail: unknown option '%1'; it takes -t, -i (or -oi), "
                          "-f SENDER and recipient addresses")
        .arg(option);
}

// A group of flags such as "-t", "-i" or "-ti"; false when a letter is none of them.
bool ApplyFlags(const QString& argument, SendmailOptions& options) {
    for (const QChar flag : argument.mid(1)) {
        if (flag == u't') {
            options.recipientsFromHeader = true;
        } else if (flag == u'i') {
            options.dotEnds = false;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

ParsedSendmail ParseSendmailArguments(const QStringList& arguments) {
    ParsedSendmail parsed;
    SendmailOptions& options = parsed.options;
    qsizetype i = 0;
    for (; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == u"--") {
            ++i;
            break;
        }
        if (!argument.startsWith(u'-') || argument == u"-") {
            break;
        }
        if (argument == u"-oi") {
            options.dotEnds = false;
        } else if (argument.startsWith(u"-f")) {
            if (argument == u"-f" && i + 1 >= arguments.size()) {
                parsed.error = QStringLiteral("--sendmail: -f needs the sender's address (-f '' "
                                              "for the null sender)");
                return parsed;
            }
            options.sender =
                WithoutAngleBrackets(argument == u"-f" ? arguments[++i] : argument.mid(2));
        } else if (!ApplyFlags(argument, options)) {
            parsed.error = UnknownOption(argument);
            return parsed;
        }
    }
    for (; i < arguments.size(); ++i) {
        options.recipients.push_back(arguments[i].toStdString());
    }
    return parsed;
}

} // namespace lumenpost
