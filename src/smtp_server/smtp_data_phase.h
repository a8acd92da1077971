#pragma once

#include "smtp_server/message_data_reader.h"
#include "smtp_server/smtp_session.h"
#include "smtp_server/smtp_session_host.h"

#include <string>

namespace lumenpost {

// The data phase of one session, from an accepted DATA to the reply after the end marker.
// Every block goes through the dot step to OnSendData and, when the server keeps it, into
// DataBuffer. A message over the size limit is still read to its end marker, but nothing
// more of it is handed on or kept, and it is refused at the end. The reply after the end
// marker may come later, when the server's handler defers it; reading pauses until then.
class SmtpDataPhase {
public:
    SmtpDataPhase(SmtpSession& session, SmtpConnection& connection, SmtpServerHooks& server);

    // Enters the data phase: DataBuffer emptied, the connection out of line mode.
    void Start();
    // One received block, in arrival order.
    void Process(const std::string& block);
    // The reply that a deferring RaiseDataEnd owed; ignored when none is owed.
    void AnswerLater(const std::string& answer);
    bool AwaitingAnswer() const { return awaitingAnswer_; }

private:
    void KeepInDataBuffer(const MessageDataReader::Block& part);
    void Finish(bool oversized);
    void SendAnswer(const std::string& answer); // back to commands

    SmtpSession& session_;
    SmtpConnection& connection_;
    SmtpServerHooks& server_;
    MessageDataReader reader_;
    bool awaitingAnswer_ = false;
};

} // namespace lumenpost
