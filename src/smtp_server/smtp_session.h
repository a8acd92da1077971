#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumenpost {

// Where a session stands in the dialogue.
enum class TSmtpSessionState { ssWaitHelo, ssCommands, ssData, ssClosing };

// What the next line of an AUTH exchange is.
enum class TAuthStep { asIdle, asWaitUser, asWaitPassword, asWaitPlain };

// Kind of a debug report.
enum class TDebugType { dtReceived, dtSent, dtError };

// The per-connection state that the command processor drives.
struct SmtpSession {
    bool LoggedIn = false;
    std::uint32_t LastActivity = 0;
    std::uint32_t StartedAt = 0;     // tick of the greeting
    std::uint32_t DataStartedAt = 0; // tick of the last accepted DATA
    std::string HeloName;
    std::string CurrentVerb;
    TSmtpSessionState SessionState = TSmtpSessionState::ssWaitHelo;
    std::string MailFrom;
    std::vector<std::string> Recipients; // of the current transaction
    bool Utf8Mail = false;               // SMTPUTF8 on this transaction's MAIL
    std::string DataBuffer;
    bool Esmtp = false;
    TAuthStep AuthStep = TAuthStep::asIdle;
    std::string AuthUser;
    std::string AuthPassword;
};

} // namespace lumenpost
