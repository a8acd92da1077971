#include "smtp_server/smtp_client.h"

#include "platform/tick.h"
#include "smtp_server/smtp_command_processor.h"
#include "smtp_server/smtp_limits.h"
#include "smtp_server/smtp_session_link.h"

namespace lumenpost {

TSmtpClient::TSmtpClient() = default;

TSmtpClient::~TSmtpClient() {
    OnDataAvailable = nullptr; // the processor goes before the socket base
}

void TSmtpClient::StartSession(TSmtpServer& owner, std::uint64_t id) {
    static_cast<SmtpSession&>(*this) = SmtpSession{};
    mSessionId = id;
    LastActivity = TickCount();
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
    if (error == 0) {
        // Message data is read in bounded pieces: a backlog that built up while the loop
        // was busy must not become one block of many MiB, copied on its way to the disk.
        mProcessor->Process(ReceiveText(LineMode() ? 0 : smtp_limits::kDataReadLimit));
    }
}

} // namespace lumenpost
