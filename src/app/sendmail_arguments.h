#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

namespace lumenpost {

// What `lumenpost --sendmail [-t] [-i|-oi] [-f SENDER] [RECIPIENT...]` asks for.
struct SendmailOptions {
    bool recipientsFromHeader = false;   // -t: also the To, Cc and Bcc fields' addresses
    bool dotEnds = true;                 // -i and -oi clear it: a "." line is then text
    std::optional<std::string> sender;   // -f: as given, angle brackets removed; "" is <>
    std::vector<std::string> recipients; // the arguments after the options: address lists

    bool operator==(const SendmailOptions&) const = default;
};

struct ParsedSendmail {
    SendmailOptions options;
    QString error; // empty when the arguments were understood
};

// Reads the arguments that follow --sendmail, in the option syntax of the traditional
// command: single-letter flags that may be grouped ("-ti"), "-oi", "-f SENDER" or
// "-fSENDER", "--" before recipients that begin with "-". Options come first; every
// argument from the first that is no option on is a recipient.
ParsedSendmail ParseSendmailArguments(const QStringList& arguments);

} // namespace lumenpost
