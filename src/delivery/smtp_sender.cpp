#include "delivery/smtp_sender.h"

#include "delivery/base64.h"
#include "delivery/delivery_limits.h"
#include "delivery/dot_stuffer.h"
#include "delivery/md5.h"
#include "delivery/message_source.h"
#include "delivery/text_helpers.h"
#include "platform/ascii_text.h"

namespace lumenpost {

namespace {

constexpr std::size_t kExtensionStart = 4;
constexpr std::size_t kSizeValueStart = 5;
// Message data is collected up to this size before it is written.
constexpr std::size_t kDataWriteSize = 64 * 1024;

bool IsPositiveCompletion(std::int32_t code) {
    return code >= 250 && code <= 259;
}

} // namespace

TSmtpSender::TSmtpSender() : localHeloName_(TBlockingSocket::LocalHostName()) {
    socket_.LineLengthLimit = delivery_limits::kReplyLineLength;
    socket_.OpenHandle();
}

void TSmtpSender::SetServer(const std::string& server) {
    ServerHost = TextBefore(server, ":");
    if (server.find(':') != std::string::npos && !TextAfter(server, ":").empty()) {
        ServerPort = TextAfter(server, ":");
    }
}

bool TSmtpSender::Open() {
    socket_.ReleaseHandle();
    socket_.OpenHandle();
    socket_.ConnectTo(ServerHost, ServerPort);
    connected_ = socket_.ErrorCode() == 0;
    return connected_;
}

std::int32_t TSmtpSender::ReadReply() {
    replyLines_.clear();
    bool complete = false;
    while (replyLines_.size() < delivery_limits::kReplyLineCount) {
        lastReplyLine_ = socket_.ReadLine(ReplyTimeoutMs);
        replyLines_.push_back(lastReplyLine_);
        if (socket_.ErrorCode() != 0) {
            break;
        }
        if (!ReplyLineContinues(lastReplyLine_)) {
            complete = true;
            break;
        }
    }
    // A reply cut short is no answer: its first line alone must not pass for acceptance.
    replyCode_ = complete ? ReplyCodeOf(replyLines_.front()) : 0;
    status_ = complete ? EnhancedStatusOf(replyLines_.front()) : TEnhancedStatus{};
    return replyCode_;
}

std::int32_t TSmtpSender::Command(const std::string& line) {
    socket_.WriteText(line + "\r\n");
    return ReadReply();
}

bool TSmtpSender::SayEhlo() {
    return IsPositiveCompletion(Command("EHLO " + localHeloName_));
}

bool TSmtpSender::SayHelo() {
    return IsPositiveCompletion(Command("HELO " + localHeloName_));
}

bool TSmtpSender::AuthLogin() {
    return Command("AUTH LOGIN") == 334 && Command(TextToBase64(LoginUser)) == 334 &&
           Command(TextToBase64(LoginPassword)) == 235;
}

bool TSmtpSender::AuthCramMd5() {
    if (Command("AUTH CRAM-MD5") != 334) {
        return false;
    }
    const std::string challenge =
        Base64ToText(lastReplyLine_.size() > 4 ? lastReplyLine_.substr(4) : std::string());
    const std::string digest = HexLower(HmacMd5(challenge, LoginPassword));
    return Command(TextToBase64(LoginUser + " " + digest)) == 235;
}

bool TSmtpSender::Start() {
    extended_ = true;
    authenticated_ = false;
    extensions_.clear();
    sizeSupported_ = false;
    serverMaxSize_ = 0;
    if (!Open() || ReadReply() != 220) {
        return false;
    }
    if (!SayEhlo()) {
        extended_ = false;
        return SayHelo();
    }
    ReadExtensions();
    if (!LoginUser.empty() || !LoginPassword.empty()) {
        Authenticate();
    }
    const std::string size = FindExtension("SIZE");
    if (!size.empty()) {
        sizeSupported_ = true;
        serverMaxSize_ =
            DecimalToInt32(size.size() > kSizeValueStart ? size.substr(kSizeValueStart) : "")
                .value_or(0);
    }
    return true;
}

void TSmtpSender::ReadExtensions() {
    for (std::size_t i = 1; i < replyLines_.size(); ++i) {
        const std::string& line = replyLines_[i];
        extensions_.push_back(line.size() > kExtensionStart ? line.substr(kExtensionStart) : "");
    }
}

// A failed AUTH leaves the dialogue unauthenticated; the server's answer to MAIL FROM
// decides whether that is enough.
void TSmtpSender::Authenticate() {
    std::string auth = FindExtension("AUTH ");
    if (auth.empty()) {
        auth = FindExtension("AUTH=");
    }
    const std::string mechanisms = UpperAscii(auth);
    if (mechanisms.find("CRAM-MD5") != std::string::npos) {
        authenticated_ = AuthCramMd5();
    }
    if (!authenticated_ && mechanisms.find("LOGIN") != std::string::npos) {
        authenticated_ = AuthLogin();
    }
    if (authenticated_) {
        SayEhlo();
    }
}

std::string TSmtpSender::FindExtension(const std::string& prefix) const {
    const std::string wanted = UpperAscii(prefix);
    for (const std::string& extension : extensions_) {
        if (UpperAscii(extension).starts_with(wanted)) {
            return extension;
        }
    }
    return {};
}

bool TSmtpSender::SendMailFrom(const std::string& address, std::int64_t size) {
    std::string command = "MAIL FROM:<" + address + ">";
    if (sizeSupported_ && size > 0) {
        command += " SIZE=" + std::to_string(size);
    }
    return Command(command) == 250;
}

bool TSmtpSender::SendRcptTo(const std::string& address) {
    return Command("RCPT TO:<" + address + ">") == 250;
}

bool TSmtpSender::SendData(const std::vector<std::string>& lines) {
    if (Command("DATA") != 354) {
        return false;
    }
    // The lines go out in large writes: one small write per line would let Nagle's
    // algorithm and the peer's delayed acknowledgement stall every few lines.
    std::string pending;
    pending.reserve(kDataWriteSize);
    for (const std::string& line : lines) {
        if (line.starts_with('.')) {
            pending += '.'; // doubled so that no message line can end the data early
        }
        pending += line;
        pending += "\r\n";
        if (pending.size() >= kDataWriteSize) {
            socket_.WriteText(pending);
            pending.clear();
        }
    }
    pending += ".\r\n";
    socket_.WriteText(pending);
    return ReadReply() == 250;
}

bool TSmtpSender::SendMessageData(MessageSource& message) {
    if (Command("DATA") != 354) {
        return false;
    }
    // An exchanger that stops taking data must not hold the delivery for ever.
    socket_.SetSendTimeout(ReplyTimeoutMs);
    TDotStuffer stuffer;
    std::string piece;
    std::string pending;
    while (message.Next(piece)) {
        stuffer.Append(piece, pending);
        if (!WriteData(pending, true)) {
            return false;
        }
    }
    if (message.Failed()) {
        return false;
    }
    pending += stuffer.Ending();
    return WriteData(pending, false) && ReadReply() == 250;
}

bool TSmtpSender::WriteData(std::string& pending, bool keepTail) {
    std::string_view rest = pending;
    while (rest.size() >= kDataWriteSize || (!keepTail && !rest.empty())) {
        const std::string_view write = rest.substr(0, kDataWriteSize);
        if (socket_.WriteText(write) != static_cast<int>(write.size())) {
            return false;
        }
        rest.remove_prefix(write.size());
    }
    pending.erase(0, pending.size() - rest.size());
    return true;
}

void TSmtpSender::Finish() {
    Command("QUIT");
    socket_.ReleaseHandle();
    connected_ = false;
}

} // namespace lumenpost
