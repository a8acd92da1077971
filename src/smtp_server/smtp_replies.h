#pragma once

#include <string_view>

// The fixed reply texts of the receiving server, without their line end.
namespace lumenpost::smtp_replies {

inline constexpr std::string_view kDefaultGreeting = "220 ESMTP Server Ready.";
inline constexpr std::string_view kGreetingCode = "220 ";
inline constexpr std::string_view kServerBusy = "502 Server overload, too many users.";

inline constexpr std::string_view kNotRecognized = "500 command not recognized";
inline constexpr std::string_view kMissingDomain = "501 Syntax error (missing domain name)";
inline constexpr std::string_view kEhloFirstLinePrefix = "250-ESMTP ";
inline constexpr std::string_view kHeloPrefix = "250 SMTP ";
inline constexpr std::string_view kPleasedToMeetYou = "), pleased to meet you";
inline constexpr std::string_view kEhlo8BitMime = "250-8BITMIME";
inline constexpr std::string_view kEhloPipelining = "250-PIPELINING";
inline constexpr std::string_view kEhloSizePrefix = "250-SIZE ";
inline constexpr std::string_view kEhloSmtpUtf8 = "250-SMTPUTF8";
inline constexpr std::string_view kEhloAuthLine = "250 AUTH LOGIN PLAIN";
inline constexpr std::string_view kNotLoggedIn = "550 mailbox unavailable or not logged in";
inline constexpr std::string_view kSyntaxError = "501 Syntax Error in parameters";
inline constexpr std::string_view kSenderDomainWithoutDot = "503 Syntax Error in parameters";
inline constexpr std::string_view kMissingAddress = "503 Bad sequence of commands (missing Adress)";
inline constexpr std::string_view kTooManyRecipients = "552 Too many recipients";
inline constexpr std::string_view kParametersNotImplemented =
    "555 MAIL FROM/RCPT TO parameters not recognized or not implemented";
inline constexpr std::string_view kOkPrefix = "250 OK ";
inline constexpr std::string_view kNoMatch = "550 does not match anything";
inline constexpr std::string_view kNoRecipients =
    "554 Transaction failed (invalid MAIL/RCPT or DATA)";
inline constexpr std::string_view kStartMailInput = "354 Start mail input; end with <CRLF>.<CRLF>";
inline constexpr std::string_view kOk = "250 OK";
inline constexpr std::string_view kNotImplemented = "502 Command not implemented.";
inline constexpr std::string_view kGoodbye = "221 Thanks for using, have a nice day";
inline constexpr std::string_view kHelpText = "214-Implemented commands follow:\r\n"
                                              "214-data\r\n"
                                              "214-ehlo\r\n"
                                              "214-helo\r\n"
                                              "214-mail\r\n"
                                              "214-noop\r\n"
                                              "214-quit\r\n"
                                              "214-rcpt\r\n"
                                              "214-rset\r\n"
                                              "214 End of HELP Info";
// The data phase's final reply keeps its trailing blank, unlike kOk.
inline constexpr std::string_view kMessageAccepted = "250 OK ";
// Refuses a MAIL whose declared SIZE, or a message whose data, is over MaxMessageSize.
inline constexpr std::string_view kMessageTooBig =
    "552 Message size exceeds fixed maximum message size";
// For an OnDataEnd handler that found the message looping (too many Received fields).
inline constexpr std::string_view kTooManyHops = "554 Too many hops";
// For an OnDataEnd handler that could not store the message: the client keeps it.
inline constexpr std::string_view kLocalError =
    "451 Requested action aborted: local error in processing";

inline constexpr std::string_view kUserPrompt = "334 VXNlcm5hbWU6";
inline constexpr std::string_view kPasswordPrompt = "334 UGFzc3dvcmQ6";
inline constexpr std::string_view kPlainPrompt = "334 OK, Go on";
inline constexpr std::string_view kAuthTypeNotImplemented = "504 AUTH type not implemented";
inline constexpr std::string_view kAuthAccepted = "235 OK, go ahead";
inline constexpr std::string_view kAuthFailed = "535 Authorization failed";

inline constexpr std::string_view kIdleTimeout = "550 SMTP timeout";
inline constexpr std::string_view kSigningOff = "250 OK SMTP Server signing off.";

} // namespace lumenpost::smtp_replies
