#include "smtp_server/smtp_client.h"

#include "platform/tick.h"
#include "smtp_server/smtp_command_processor.h"
#include "smtp_server/smtp_limits.h"
#include "smtp_server/smtp_server.h"
#include "smtp_server/smtp_session_link.h"

namespace lumenpost {

TSmtpClient::TSmtpClient() {
    mPause.setSingleShot(true);
    mPause.setTimerType(Qt::PreciseTimer);
    QObject::connect(&mPause, &QTimer::timeout, [this] { ReleaseHeldLine(); });
}

TSmtpClient::~TSmtpClient() {
    OnDataAvailable = nullptr; // the processor goes before the socket base
}

void TSmtpClient::StartSession(TSmtpServer& owner, std::uint64_t id) {
    static_cast<SmtpSession&>(*this) = SmtpSession{};
    mSessionId = id;
    LastActivity = TickCount();
    StartedAt = LastActivity;
    SmtpOwner = &owner;
    mLink = std::make_unique<SmtpSessionLink>(owner, *this);
    mProcessor = std::make_unique<SmtpCommandProcessor>(*this, *mLink, *mLink);
    OnDataAvailable = [this](TCustomAsyncSocket&, std::uint16_t error) { ReceiveCommand(error); };
    // A failure in this session's background work closes this session only.
    OnBgException = [](TCustomAsyncSocket&, const std::exception&, bool& canClose) {
        canClose = true;
    };
    SetComponentOptions({TSocketOption::wsoNoReceiveLoop});
    SetMultiThreaded(true);
    SetLineMode(true);
    SetLineEdit(false);
}

void TSmtpClient::AnswerDataEnd(const std::string& answer) {
    if (mProcessor) {
        mProcessor->AnswerDataEnd(answer);
    }
}

void TSmtpClient::ReceiveCommand(std::uint16_t error) {
    if (error != 0 || mHeldLine) {
        return; // a line waits for its pause: the rest stays buffered behind it
    }
    if (!LineMode()) {
        // Message data is read in bounded pieces: a backlog that built up while the loop
        // was busy must not become one block of many MiB, copied on its way to the disk.
        mProcessor->Process(ReceiveText(smtp_limits::kDataReadLimit));
        return;
    }
    std::string line = ReceiveText(0);
    const int delay = SmtpOwner != nullptr ? SmtpOwner->DelayAfterCmd() : 0;
    if (delay > 0) {
        HoldLine(std::move(line), delay);
    } else {
        mProcessor->Process(line);
    }
}

// Out of line mode, the lines behind this one stay in the buffer as they are; with
// events paused nothing new is read.
void TSmtpClient::HoldLine(std::string line, int delayMs) {
    mHeldLine = std::move(line);
    SetLineMode(false);
    PauseEvents();
    mPause.start(delayMs);
}

void TSmtpClient::ReleaseHeldLine() {
    std::string line = std::move(*mHeldLine);
    mHeldLine.reset();
    ResumeEvents();
    SetLineMode(true); // what is buffered comes again, after this line's reply
    mProcessor->Process(line);
}

} // namespace lumenpost
