#pragma once

#include "relay/mail_line_splitter.h"
#include "relay/relay_pass.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace lumenpost {

class RelayCore;

// The messages being received, one per SMTP session, keyed by the session object. A
// session's blocks never reach another session's message, and its recipients gather
// from MAIL FROM (or from the first RCPT after a completed message) to the end of data,
// so that every accepted recipient gets its own relay pass.
class MailIntake {
public:
    using SessionKey = const void*;

    void MailFrom(SessionKey session, const std::string& address);
    void MailTo(SessionKey session, const std::string& address);
    // RSET withdraws the recipients named so far; the next RCPT starts a new list.
    void Reset(SessionKey session);
    // Adds one data block. The block with `lastPart` completes the message: the result
    // then holds one job per recipient, each with its own copy of sender and lines.
    std::vector<RelayJob> SendData(SessionKey session, bool lastPart, const std::string& msg);
    // The session is gone; its key may be reused by a later session.
    void SessionEnded(SessionKey session);

    std::size_t SessionCount() const { return sessions_.size(); }

private:
    struct SessionMessage {
        std::string sender;
        std::vector<std::string> recipients;
        bool transactionDone = false; // the next RCPT starts a new recipient list
        MailLineSplitter lines;
    };

    std::unordered_map<SessionKey, SessionMessage> sessions_;
};

// Logs longer than this are emptied when a new message is named.
inline constexpr qsizetype kLogLineLimit = 2000;

// What MAIL FROM shows: the receiving status text, and each log that holds more than
// kLogLineLimit lines emptied (their counters keep running).
void ShowReceiving(RelayCore& core);

} // namespace lumenpost
