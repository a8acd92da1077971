#pragma once

#include "queue/envelope.h"
#include "queue/queue_folder.h"
#include "queue/spool_committer.h"
#include "relay/hop_counter.h"
#include "relay/mail_line_splitter.h"

#include <QObject>
#include <QtGlobal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace lumenpost {

class RelayCore;

// What the end of a message's data left: the envelope of the message now durable in the
// queue, or what went wrong (the client is then told to try again later).
struct IntakeResult {
    std::optional<Envelope> queued;
    std::string error;
    bool looping = false; // refused: more than kMaxHops Received fields
};

// The messages being received, one per SMTP session, keyed by the session object. Each
// message is streamed into its own data file in the queue as it arrives, with our
// Received line first; a session's blocks never reach another session's message, and its
// recipients gather from MAIL FROM (or from the first RCPT after a completed message) to
// the end of data. Messages are made durable off this thread, so a slow disk holds up
// only the sessions whose messages are being stored.
class MailIntake {
public:
    using SessionKey = const void*;
    using Clock = std::function<std::int64_t()>; // Unix seconds
    using Answered = std::function<void(IntakeResult)>;

    // Lives on a thread with an event loop: answers arrive through it.
    MailIntake(QueueFolder folder, std::string machineName, Clock now);
    ~MailIntake();
    MailIntake(const MailIntake&) = delete;
    MailIntake& operator=(const MailIntake&) = delete;

    // HELO/EHLO: the name the client gave, for the Received line.
    void Hello(SessionKey session, const std::string& heloName);
    void MailFrom(SessionKey session, const std::string& address);
    void MailTo(SessionKey session, const std::string& address);
    // RSET withdraws the recipients named so far; the next RCPT starts a new list.
    void Reset(SessionKey session);
    // DATA was accepted: the message's data file is started. `smtputf8`: its MAIL carried
    // SMTPUTF8, so the next hop must take it too.
    void StartData(SessionKey session, const std::string& peerAddress, bool smtputf8 = false);
    // Adds one data block (the end line still in the last one).
    void SendData(SessionKey session, bool lastPart, const std::string& msg);
    // The end of the data: a complete message is made durable on the committer's threads
    // and `answered` gets its envelope; an oversized or looping one (or one whose file
    // failed) leaves nothing behind. `answered` always runs later, from this thread's event loop,
    // never from inside this call; it runs even when the session has ended meanwhile, as the
    // message is in the queue all the same.
    void EndData(SessionKey session, bool oversized, Answered answered);
    // The session is gone; its key may be reused by a later session.
    void SessionEnded(SessionKey session);

    // Makes a message whose whole text is in `spool` durable on the committer's threads,
    // as the end of data does (also for messages that come another way than SMTP).
    // `answered` runs later, from this thread's event loop, with the envelope or with what
    // went wrong (nothing of the message is then left on disk).
    void Commit(std::unique_ptr<SpoolFile> spool, Envelope envelope, Answered answered);

    std::size_t SessionCount() const { return sessions_.size(); }

    // Our trace line, folded as header fields are: from the client's HELO name and
    // address, by this machine's name, with the queue id and an RFC 5322 date.
    static std::string ReceivedLine(const std::string& heloName, const std::string& peerAddress,
                                    const std::string& machineName, const std::string& id,
                                    const std::string& date);

private:
    struct SessionMessage {
        std::string helo;
        std::string sender;
        std::vector<std::string> recipients;
        bool transactionDone = false; // the next RCPT starts a new recipient list
        MailLineSplitter lines;
        HopCounter hops; // of the client's text, not counting our own Received line
        bool smtputf8 = false;
        bool eightBit = false; // an octet above 127 was written
        std::unique_ptr<SpoolFile> spool;
        std::string spoolError; // why the data file could not be started
    };

    void Write(SessionMessage& message, const std::string& text);
    // Runs `answered` with `result` from this thread's event loop.
    void Answer(const Answered& answered, IntakeResult result);

    QueueFolder folder_;
    std::string machineName_;
    Clock now_;
    std::unordered_map<SessionKey, SessionMessage> sessions_;
    // Answers are posted to it; it goes after the committer, whose threads post to it.
    std::unique_ptr<QObject> answers_;
    std::unique_ptr<SpoolCommitter> committer_;
};

// Logs longer than this are emptied when a new message is named.
inline constexpr qsizetype kLogLineLimit = 2000;

// What MAIL FROM shows: the receiving status text, and each log that holds more than
// kLogLineLimit lines emptied (their counters keep running).
void ShowReceiving(RelayCore& core);

} // namespace lumenpost
