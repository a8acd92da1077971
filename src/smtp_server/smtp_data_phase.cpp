#include "smtp_server/smtp_data_phase.h"

#include "platform/tick.h"
#include "smtp_server/smtp_replies.h"
#include "smtp_server/smtp_text.h"

namespace lumenpost {
namespace {

constexpr std::string_view kEndLine = ".\r\n";

} // namespace

SmtpDataPhase::SmtpDataPhase(SmtpSession& session, SmtpConnection& connection,
                             SmtpServerHooks& server)
    : session_(session), connection_(connection), server_(server) {}

void SmtpDataPhase::Start() {
    session_.SessionState = TSmtpSessionState::ssData;
    session_.DataStartedAt = TickCount();
    session_.DataBuffer.clear();
    reader_.Start(server_.MessageSizeLimit());
    connection_.SetLineMode(false);
}

void SmtpDataPhase::Process(const std::string& block) {
    const MessageDataReader::Block part = reader_.Take(block);
    if (!part.oversized) {
        KeepInDataBuffer(part);
        server_.RaiseSendData(part.lastPart, part.text);
    }
    if (part.lastPart) {
        if (part.consumed < block.size()) {
            // Commands pipelined behind the end marker: read again once back in line mode.
            connection_.Unread(std::string_view(block).substr(part.consumed));
        }
        Finish(part.oversized);
    }
}

void SmtpDataPhase::KeepInDataBuffer(const MessageDataReader::Block& part) {
    if (!server_.KeepDataBuffer()) {
        return;
    }
    session_.DataBuffer += part.text;
    if (part.lastPart && session_.DataBuffer.ends_with(kEndLine)) {
        session_.DataBuffer.resize(session_.DataBuffer.size() - kEndLine.size());
    }
}

void SmtpDataPhase::Finish(bool oversized) {
    std::string answer(oversized ? smtp_replies::kMessageTooBig : smtp_replies::kMessageAccepted);
    bool deferred = false;
    server_.RaiseDataEnd(oversized, answer, deferred);
    if (deferred) {
        awaitingAnswer_ = true;
        connection_.PauseReading();
        return;
    }
    SendAnswer(answer);
}

void SmtpDataPhase::AnswerLater(const std::string& answer) {
    if (!awaitingAnswer_) {
        return;
    }
    awaitingAnswer_ = false;
    connection_.ResumeReading();
    SendAnswer(answer);
}

// The end of data ends the transaction: its recipients are not those of the next DATA.
void SmtpDataPhase::SendAnswer(const std::string& answer) {
    // Only the line end is dropped: the accepting reply keeps its trailing blank.
    SendLine(connection_, smtp_text::DropOneLineEnd(answer));
    session_.Recipients.clear();
    session_.Utf8Mail = false;
    session_.SessionState = TSmtpSessionState::ssCommands;
    connection_.SetLineMode(true);
}

} // namespace lumenpost
