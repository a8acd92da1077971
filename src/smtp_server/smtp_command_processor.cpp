#include "smtp_server/smtp_command_processor.h"

#include "platform/tick.h"
#include "smtp_server/mail_address.h"
#include "smtp_server/mail_parameters.h"
#include "smtp_server/smtp_limits.h"
#include "smtp_server/smtp_replies.h"
#include "smtp_server/smtp_text.h"

#include <cstdint>
#include <optional>
#include <stdexcept>

namespace lumenpost {

using namespace smtp_text;
namespace {

using State = TSmtpSessionState;

// Character positions, counted from 1, where a command's argument begins.
constexpr std::size_t kHeloArgumentPosition = 6;
constexpr std::size_t kMailAddressPosition = 11;
constexpr std::size_t kRcptAddressPosition = 9;
constexpr std::size_t kShortArgumentPosition = 5; // VRFY, HELP

// The null sender, or a domain with a dot (an address literal counts as one).
bool IsAcceptableSender(std::string_view address) {
    const std::string_view domain = MailboxDomain(address);
    return address.empty() || domain.find('.') != std::string_view::npos || domain.starts_with('[');
}

// The argument of MAIL or RCPT: the text after the verb, its colon and blanks.
std::string ArgumentText(const std::string& line, std::size_t position) {
    return Trim(StripLineEnd(TextFrom(line, position)));
}

bool IsOverLimit(std::optional<std::uint64_t> declaredSize, std::uint64_t limit) {
    return limit > 0 && declaredSize && *declaredSize > limit;
}

} // namespace

const SmtpCommandProcessor::CommandRoute SmtpCommandProcessor::kCommandRoutes[] = {
    {"MAIL", &SmtpCommandProcessor::Mail},
    {"VRFY", &SmtpCommandProcessor::Vrfy},
    {"RCPT", &SmtpCommandProcessor::Rcpt},
    {"DATA", &SmtpCommandProcessor::Data},
    {"RSET", &SmtpCommandProcessor::Rset},
    {"NOOP", &SmtpCommandProcessor::Noop},
    {"HELP", &SmtpCommandProcessor::Help},
    {"TURN", &SmtpCommandProcessor::NotImplemented},
    {"SEND", &SmtpCommandProcessor::NotImplemented},
    {"SOML", &SmtpCommandProcessor::NotImplemented},
    {"SAML", &SmtpCommandProcessor::NotImplemented},
    {"EXPN", &SmtpCommandProcessor::NotImplemented},
};

SmtpCommandProcessor::SmtpCommandProcessor(SmtpSession& session, SmtpConnection& connection,
                                           SmtpServerHooks& server)
    : session_(session), connection_(connection), server_(server),
      auth_(session, connection, server), dataPhase_(session, connection, server) {}

void SmtpCommandProcessor::Process(const std::string& text) {
    session_.CurrentVerb.clear();
    session_.LastActivity = TickCount();
    const bool inData = session_.SessionState == State::ssData;
    if (inData && text.empty()) {
        return; // an empty read is no block of the message
    }
    if (!inData) {
        session_.CurrentVerb = ExtractVerb(text);
        if (Trim(session_.CurrentVerb).empty() && session_.SessionState == State::ssClosing) {
            return;
        }
    }
    server_.ReportDebug(TDebugType::dtReceived, text);
    if (session_.CurrentVerb == "QUIT") {
        Quit();
        return;
    }
    switch (session_.SessionState) {
    case State::ssWaitHelo:
        ProcessHelo(text);
        break;
    case State::ssCommands:
        ProcessCommand(text);
        break;
    case State::ssData:
        dataPhase_.Process(text);
        break;
    case State::ssClosing:
        break;
    }
}

void SmtpCommandProcessor::ProcessHelo(const std::string& line) {
    const std::string& verb = session_.CurrentVerb;
    if (verb != "HELO" && verb != "EHLO") {
        Send(smtp_replies::kNotRecognized);
        return;
    }
    session_.Esmtp = verb == "EHLO";
    // Control characters never reach a reply or the peer-name cache.
    session_.HeloName = Trim(WithoutControls(TextFrom(line, kHeloArgumentPosition)));
    if (session_.HeloName.empty()) {
        Send(smtp_replies::kMissingDomain);
        session_.LoggedIn = false;
        return;
    }
    std::string answer;
    bool shouldClose = false;
    server_.RaiseUsername(session_.HeloName, answer, shouldClose);
    session_.SessionState = State::ssCommands;
    if (shouldClose) {
        RefuseHelo(std::move(answer));
    } else {
        AcceptHelo(std::move(answer));
    }
}

void SmtpCommandProcessor::RefuseHelo(std::string answer) {
    if (answer.empty()) {
        answer = "550 User " + session_.HeloName + " from IP" + connection_.PeerAddr() +
                 " is not allowed";
    }
    Send(answer);
    session_.LoggedIn = false;
}

void SmtpCommandProcessor::AcceptHelo(std::string answer) {
    const std::string peerAddr = connection_.PeerAddr();
    const std::string peerName = server_.LookupPeerName(peerAddr, session_.HeloName);
    if (answer.empty()) {
        const std::string meeting =
            peerName + " (" + peerAddr + std::string(smtp_replies::kPleasedToMeetYou);
        if (session_.Esmtp) {
            Send(std::string(smtp_replies::kEhloFirstLinePrefix) + meeting);
            AdvertiseExtensions();
            answer = smtp_replies::kEhloAuthLine;
        } else {
            answer = std::string(smtp_replies::kHeloPrefix) + meeting;
        }
    }
    Send(answer);
    session_.Recipients.clear();
    session_.LoggedIn = true;
}

void SmtpCommandProcessor::AdvertiseExtensions() {
    Send(smtp_replies::kEhlo8BitMime);
    Send(smtp_replies::kEhloPipelining);
    if (const std::uint64_t limit = server_.MessageSizeLimit(); limit > 0) {
        Send(std::string(smtp_replies::kEhloSizePrefix) + std::to_string(limit));
    }
    Send(smtp_replies::kEhloSmtpUtf8);
}

void SmtpCommandProcessor::ProcessCommand(const std::string& line) {
    const std::string& verb = session_.CurrentVerb;
    if (verb == "AUTH" || session_.AuthStep != TAuthStep::asIdle) {
        auth_.Process(line);
        return;
    }
    if (!session_.LoggedIn) {
        Send(smtp_replies::kNotLoggedIn);
        session_.SessionState = State::ssClosing;
        CloseAfterReply();
        return;
    }
    for (const CommandRoute& route : kCommandRoutes) {
        if (verb == route.verb) {
            (this->*route.handler)(line);
            return;
        }
    }
    Unknown(line);
}

void SmtpCommandProcessor::Quit() {
    std::string answer(smtp_replies::kGoodbye);
    server_.RaiseQuit(answer);
    Send(answer);
    session_.SessionState = State::ssClosing;
    CloseAfterReply();
}

void SmtpCommandProcessor::CloseAfterReply() {
    if (!connection_.IsConnected()) {
        return;
    }
    try {
        connection_.CloseAfterReply();
    } catch (const std::exception& e) {
        server_.ReportDebug(TDebugType::dtError, e.what());
    }
}

void SmtpCommandProcessor::Mail(const std::string& line) {
    Send(Trim(MailAnswer(line)));
}

// The sender is kept exactly as written; MAIL starts a new transaction.
std::string SmtpCommandProcessor::MailAnswer(const std::string& line) {
    if (!StartsWithNoCase(Trim(line), "MAIL FROM")) {
        return std::string(smtp_replies::kSyntaxError);
    }
    const std::string text = ArgumentText(line, kMailAddressPosition);
    const std::optional<PathArgument> argument = SplitPathArgument(text); // views into `text`
    MailOptions options;
    if (!argument) {
        return std::string(smtp_replies::kSyntaxError);
    }
    switch (ReadMailParameters(argument->parameters, options)) {
    case ParameterProblem::malformed:
        return std::string(smtp_replies::kSyntaxError);
    case ParameterProblem::unsupported:
        return std::string(smtp_replies::kParametersNotImplemented);
    case ParameterProblem::none:
        break;
    }
    // A sender without "@" or without a dot in its domain keeps its own reply.
    if (!IsAcceptableSender(argument->address)) {
        return std::string(smtp_replies::kSenderDomainWithoutDot);
    }
    if (!argument->address.empty() && !IsMailbox(argument->address, options.utf8)) {
        return std::string(smtp_replies::kSyntaxError);
    }
    if (IsOverLimit(options.size, server_.MessageSizeLimit())) {
        return std::string(smtp_replies::kMessageTooBig);
    }
    std::string address(argument->address);
    std::string answer = "250 OK Sender \"" + address + "\" is allowed";
    server_.RaiseMailFrom(address, answer);
    session_.MailFrom = std::move(address);
    session_.Recipients.clear();
    session_.Utf8Mail = options.utf8;
    return answer;
}

void SmtpCommandProcessor::Rcpt(const std::string& line) {
    Send(Trim(RcptAnswer(line)));
}

std::string SmtpCommandProcessor::RcptAnswer(const std::string& line) {
    if (!StartsWithNoCase(Trim(line), "RCPT TO")) {
        return std::string(smtp_replies::kSyntaxError);
    }
    const std::string text = ArgumentText(line, kRcptAddressPosition);
    const std::optional<PathArgument> argument = SplitPathArgument(text); // views into `text`
    if (!argument) {
        return std::string(smtp_replies::kSyntaxError);
    }
    if (argument->address.empty()) {
        return std::string(smtp_replies::kMissingAddress);
    }
    if (!argument->parameters.empty()) {
        return std::string(smtp_replies::kParametersNotImplemented);
    }
    if (!IsMailbox(argument->address, session_.Utf8Mail)) {
        return std::string(smtp_replies::kSyntaxError);
    }
    if (session_.Recipients.size() >= smtp_limits::kMaxRecipients) {
        return std::string(smtp_replies::kTooManyRecipients);
    }
    std::string address(argument->address);
    std::string answer = "250 OK Send to <" + address + "> is allowed";
    server_.RaiseMailTo(address, answer);
    if (!answer.empty() && answer.front() != '5') {
        session_.Recipients.push_back(std::move(address));
    }
    return answer;
}

void SmtpCommandProcessor::Vrfy(const std::string& line) {
    const std::string user = Trim(TextFrom(line, kShortArgumentPosition));
    if (user.empty()) {
        Send(smtp_replies::kSyntaxError);
        return;
    }
    bool knownUser = false;
    std::string mailAddr = user;
    server_.RaiseVerifyUser(user, knownUser, mailAddr);
    Send(knownUser ? std::string(smtp_replies::kOkPrefix) + mailAddr
                   : std::string(smtp_replies::kNoMatch));
}

void SmtpCommandProcessor::Data(const std::string&) {
    if (session_.Recipients.empty()) {
        Send(smtp_replies::kNoRecipients);
        return;
    }
    server_.RaiseSendDataInit();
    dataPhase_.Start();
    Send(smtp_replies::kStartMailInput);
}

void SmtpCommandProcessor::Rset(const std::string&) {
    std::string answer(smtp_replies::kOk);
    server_.RaiseReset(answer);
    session_.MailFrom.clear();
    session_.DataBuffer.clear();
    session_.Recipients.clear();
    session_.Utf8Mail = false;
    Send(answer);
}

void SmtpCommandProcessor::Noop(const std::string&) {
    Send(smtp_replies::kOk);
}

void SmtpCommandProcessor::Help(const std::string& line) {
    std::string answer(smtp_replies::kHelpText);
    server_.RaiseHelp(Trim(TextFrom(line, kShortArgumentPosition)), answer);
    Send(answer);
}

void SmtpCommandProcessor::NotImplemented(const std::string&) {
    Send(smtp_replies::kNotImplemented);
}

void SmtpCommandProcessor::Unknown(const std::string& line) {
    std::string answer(smtp_replies::kNotRecognized);
    server_.RaiseUnknownCmd(line, answer);
    Send(answer);
}

} // namespace lumenpost
