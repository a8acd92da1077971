#pragma once

#include <string>
#include <vector>

namespace lumenpost::testing_support {

struct DialogueStep {
    std::string send;
    std::string expect; // every reply this line produces, exactly
};

inline const std::string kHelpReply = "214-Implemented commands follow:\r\n214-data\r\n"
                                      "214-ehlo\r\n214-helo\r\n214-mail\r\n214-noop\r\n"
                                      "214-quit\r\n214-rcpt\r\n214-rset\r\n"
                                      "214 End of HELP Info\r\n";

// What EHLO offers between its first line and AUTH, without a size limit.
inline const std::string kExtensionLines = "250-8BITMIME\r\n250-PIPELINING\r\n250-SMTPUTF8\r\n";

// One session through every row of the dialogue that needs no handler, from the greeting
// to the silence after QUIT.
inline std::vector<DialogueStep> WholeDialogue(const std::string& peerName,
                                               const std::string& peerAddr) {
    return {
        {"NOOP\r\n", "500 command not recognized\r\n"},
        {"MAIL FROM:<a@b.c>\r\n", "500 command not recognized\r\n"},
        {"HELO\r\n", "501 Syntax error (missing domain name)\r\n"},
        {"EHLO client.example\r\n", "250-ESMTP " + peerName + " (" + peerAddr +
                                        "), pleased to meet you\r\n" + kExtensionLines +
                                        "250 AUTH LOGIN PLAIN\r\n"},
        {"MAIL  FROM:<a@b.c>\r\n", "501 Syntax Error in parameters\r\n"},
        {"MAIL FROM:<a@nodot>\r\n", "503 Syntax Error in parameters\r\n"},
        {"MAIL FROM:<nobody>\r\n", "503 Syntax Error in parameters\r\n"},
        {"MAIL FROM:<>\r\n", "250 OK Sender \"\" is allowed\r\n"},
        {"mail from:<first+x@mail.example>\r\n",
         "250 OK Sender \"first+x@mail.example\" is allowed\r\n"},
        {"RCPT <a@b.c>\r\n", "501 Syntax Error in parameters\r\n"},
        {"RCPT TO:<>\r\n", "503 Bad sequence of commands (missing Adress)\r\n"},
        {"VRFY\r\n", "501 Syntax Error in parameters\r\n"},
        {"VRFY postmaster\r\n", "550 does not match anything\r\n"},
        {"DATA\r\n", "554 Transaction failed (invalid MAIL/RCPT or DATA)\r\n"},
        {"HELO again.example\r\n", "500 command not recognized\r\n"},
        {"RSET\r\n", "250 OK\r\n"},
        {"NOOP\r\n", "250 OK\r\n"},
        {"HELP\r\n", kHelpReply},
        {"TURN\r\n", "502 Command not implemented.\r\n"},
        {"SEND\r\n", "502 Command not implemented.\r\n"},
        {"SOML\r\n", "502 Command not implemented.\r\n"},
        {"SAML\r\n", "502 Command not implemented.\r\n"},
        {"EXPN list\r\n", "502 Command not implemented.\r\n"},
        {"XYZZY\r\n", "500 command not recognized\r\n"},
        {"RCPT TO:<x+y@dest.example>\r\n", "250 OK Send to <x+y@dest.example> is allowed\r\n"},
        {"DATA\r\n", "354 Start mail input; end with <CRLF>.<CRLF>\r\n"},
        {"Subject: t\r\n\r\nQUIT\r\n.\r\n", "250 OK \r\n"},
        {"QUIT\r\n", "221 Thanks for using, have a nice day\r\n"},
        {"NOOP\r\n", ""},
    };
}

} // namespace lumenpost::testing_support
