#include "smtp_server/smtp_auth_dialogue.h"

#include "smtp_server/auth_credentials.h"
#include "smtp_server/base64.h"
#include "smtp_server/smtp_replies.h"
#include "smtp_server/smtp_text.h"

#include <stdexcept>

namespace lumenpost {

using namespace smtp_text;
namespace {

// Character positions, counted from 1: the mechanism after "AUTH", a response after "PLAIN ".
constexpr std::size_t kMechanismPosition = 5;
constexpr std::size_t kPlainResponsePosition = 7;

} // namespace

SmtpAuthDialogue::SmtpAuthDialogue(SmtpSession& session, SmtpConnection& connection,
                                   SmtpServerHooks& server)
    : session_(session), connection_(connection), server_(server) {}

void SmtpAuthDialogue::Process(const std::string& line) {
    switch (session_.AuthStep) {
    case TAuthStep::asWaitUser:
        session_.AuthUser = Base64Decode(StripLineEnd(line));
        SendLine(connection_, smtp_replies::kPasswordPrompt);
        session_.AuthStep = TAuthStep::asWaitPassword;
        return;
    case TAuthStep::asWaitPassword:
        session_.AuthPassword = Base64Decode(StripLineEnd(line));
        session_.AuthStep = TAuthStep::asIdle;
        Check();
        return;
    case TAuthStep::asWaitPlain:
        TakePlainCredentials(line);
        return;
    case TAuthStep::asIdle:
        Start(line);
        return;
    }
}

void SmtpAuthDialogue::Start(const std::string& line) {
    const std::string mechanism = Trim(TextFrom(line, kMechanismPosition));
    const std::string name = UpperAscii(mechanism);
    if (name == "LOGIN") {
        SendLine(connection_, smtp_replies::kUserPrompt);
        session_.AuthStep = TAuthStep::asWaitUser;
    } else if (name.find("PLAIN") != std::string::npos) {
        StartPlain(mechanism);
    } else {
        // Shut out until an AUTH succeeds.
        session_.Esmtp = false;
        session_.LoggedIn = false;
        SendLine(connection_, smtp_replies::kAuthTypeNotImplemented);
    }
}

void SmtpAuthDialogue::StartPlain(std::string_view mechanism) {
    std::string response = Trim(TextFrom(mechanism, kPlainResponsePosition));
    if (!response.empty()) {
        std::string decoded = NulsToBlanks(Base64Decode(StripLineEnd(response)));
        if (!decoded.empty()) {
            response = std::move(decoded);
        }
    }
    if (response.find(' ') != std::string::npos) {
        StoreCredentials(response);
        Check();
        return;
    }
    SendLine(connection_, smtp_replies::kPlainPrompt);
    session_.AuthStep = TAuthStep::asWaitPlain;
}

void SmtpAuthDialogue::TakePlainCredentials(const std::string& line) {
    // A line with a blank carries the credentials in its second word.
    const std::string encoded = line.find(' ') != std::string::npos ? NthField(line, ' ', 1) : line;
    StoreCredentials(Base64Decode(StripLineEnd(encoded)));
    session_.AuthStep = TAuthStep::asIdle;
    Check();
}

void SmtpAuthDialogue::StoreCredentials(std::string_view decoded) {
    Credentials credentials = SplitCredentials(decoded);
    session_.AuthUser = std::move(credentials.user);
    session_.AuthPassword = std::move(credentials.password);
}

void SmtpAuthDialogue::Check() {
    std::string answer;
    bool shouldClose = false;
    server_.RaiseAuthLogin(session_.AuthUser, session_.AuthPassword, answer, shouldClose);
    if (shouldClose) {
        Refuse(std::move(answer));
    } else {
        Admit(std::move(answer));
    }
}

void SmtpAuthDialogue::Refuse(std::string answer) {
    SendLine(connection_, answer.empty() ? smtp_replies::kAuthFailed : answer);
    session_.LoggedIn = false;
    session_.AuthStep = TAuthStep::asIdle;
    session_.SessionState = TSmtpSessionState::ssClosing;
    try {
        connection_.DisconnectLater();
    } catch (const std::exception&) {
        // The session is over either way; the idle sweep closes what is left.
    }
}

void SmtpAuthDialogue::Admit(std::string answer) {
    SendLine(connection_, answer.empty() ? smtp_replies::kAuthAccepted : answer);
    session_.LoggedIn = true;
    session_.AuthStep = TAuthStep::asIdle;
    session_.Recipients.clear();
}

} // namespace lumenpost
