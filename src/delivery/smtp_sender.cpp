#include "delivery/smtp_sender.h"

#include "delivery/base64.h"
#include "delivery/delivery_limits.h"
#include "delivery/dot_stuffer.h"
#include "delivery/ehlo_name.h"
#include "delivery/md5.h"
#include "delivery/message_source.h"
#include "delivery/text_helpers.h"
#include "platform/ascii_text.h"

#include <algorithm>
#include <charconv>

namespace lumenpost {

namespace {

constexpr std::size_t kExtensionStart = 4;
// Message data is collected up to this size before it is written.
constexpr std::size_t kDataWriteSize = 64 * 1024;

bool IsPositiveCompletion(std::int32_t code) {
    return code >= 250 && code <= 259;
}

// The keyword of an extension line ends at a blank, or at "=" in the old "AUTH=" form.
std::size_t KeywordEnd(std::string_view extension) {
    return std::min(extension.find(' '), extension.find('='));
}

// A decimal number of 64 bits; 0 for anything else, which SIZE takes as "no limit".
std::int64_t SizeLimit(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value > 0 ? value : 0;
}

} // namespace

std::optional<AuthMechanism> StrongestMechanism(std::string_view offered) {
    bool plain = false;
    bool login = false;
    for (std::string_view rest = offered; !rest.empty();) {
        const std::size_t blank = std::min(rest.find(' '), rest.size());
        const std::string name = UpperAscii(rest.substr(0, blank));
        rest.remove_prefix(std::min(blank + 1, rest.size()));
        if (name == "CRAM-MD5") {
            return AuthMechanism::cramMd5;
        }
        plain = plain || name == "PLAIN";
        login = login || name == "LOGIN";
    }
    if (plain) {
        return AuthMechanism::plain;
    }
    return login ? std::optional(AuthMechanism::login) : std::nullopt;
}

std::string PlainResponse(std::string_view user, std::string_view password) {
    std::string credentials(1, '\0');
    credentials += user;
    credentials += '\0';
    credentials += password;
    return TextToBase64(credentials);
}

void TSmtpSender::SetServer(const std::string& server) {
    ServerHost = TextBefore(server, ":");
    if (server.find(':') != std::string::npos && !TextAfter(server, ":").empty()) {
        ServerPort = TextAfter(server, ":");
    }
}

bool TSmtpSender::Open() {
    socket_.ReleaseHandle();
    socket_.LineLengthLimit = delivery_limits::kReplyLineLength;
    socket_.OpenHandle();
    socket_.ConnectTo(ServerHost, ServerPort);
    connected_ = socket_.ErrorCode() == 0;
    return connected_;
}

bool TSmtpSender::Open(const SocketAddress& address) {
    socket_.ReleaseHandle();
    socket_.LineLengthLimit = delivery_limits::kReplyLineLength;
    socket_.ConnectTo(address);
    connected_ = socket_.ErrorCode() == 0;
    return connected_;
}

int TSmtpSender::LimitedWait(std::int32_t ownMs) const {
    if (Deadline == Clock::time_point::max()) {
        return ownMs;
    }
    // Rounded up, so that a wait cut short ends at or after the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now()).count();
    const auto wait = ownMs < 0 ? left : std::min<std::int64_t>(ownMs, left);
    return static_cast<int>(std::max<std::int64_t>(wait, 1));
}

bool TSmtpSender::DeadlinePassed() const {
    return Deadline != Clock::time_point::max() && Clock::now() >= Deadline;
}

std::int32_t TSmtpSender::ReadReply() {
    replyLines_.clear();
    bool complete = false;
    while (replyLines_.size() < delivery_limits::kReplyLineCount) {
        lastReplyLine_ = socket_.ReadLine(LimitedWait(ReplyTimeoutMs));
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
    socket_.SetSendTimeout(LimitedWait(ReplyTimeoutMs));
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

bool TSmtpSender::AuthPlain() {
    return Command("AUTH PLAIN " + PlainResponse(LoginUser, LoginPassword)) == 235;
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

bool TSmtpSender::Greet() {
    extended_ = true;
    authenticated_ = false;
    ForgetExtensions();
    localHeloName_ =
        EhloName.empty() ? EhloNameFor(MachineQualifiedName(), socket_.LocalAddress()) : EhloName;
    if (ReadReply() != 220) {
        return false;
    }
    if (!SayEhlo()) {
        extended_ = false;
        return SayHelo();
    }
    ReadExtensions();
    return true;
}

bool TSmtpSender::Start() {
    if (!Open() || !Greet()) {
        return false;
    }
    if (!LoginUser.empty() || !LoginPassword.empty()) {
        Authenticate();
    }
    return true;
}

TlsUpgrade TSmtpSender::StartTls(const std::string& serverName, const TlsTrust& trust) {
    if (Command("STARTTLS") != 220) {
        return ReplyComplete() ? TlsUpgrade::refused : TlsUpgrade::failed;
    }
    if (!socket_.StartTls(serverName, LimitedWait(ReplyTimeoutMs), trust)) {
        return TlsUpgrade::handshakeFailed;
    }
    // What the server offered in clear may have been changed on the way.
    ForgetExtensions();
    if (!SayEhlo()) {
        return TlsUpgrade::failed;
    }
    ReadExtensions();
    return TlsUpgrade::encrypted;
}

bool TSmtpSender::StartImplicitTls(const std::string& serverName, const TlsTrust& trust) {
    return socket_.StartTls(serverName, LimitedWait(ReplyTimeoutMs), trust);
}

void TSmtpSender::ForgetExtensions() {
    extensions_.clear();
    sizeSupported_ = false;
    serverMaxSize_ = 0;
}

// The extensions listed by the last reply, which answered EHLO.
void TSmtpSender::ReadExtensions() {
    ForgetExtensions();
    for (std::size_t i = 1; i < replyLines_.size(); ++i) {
        const std::string& line = replyLines_[i];
        extensions_.push_back(line.size() > kExtensionStart ? line.substr(kExtensionStart) : "");
    }
    if (const std::optional<std::string> size = ExtensionParameters("SIZE")) {
        sizeSupported_ = true;
        serverMaxSize_ = SizeLimit(*size);
    }
}

AuthResult TSmtpSender::Authenticate() {
    const std::optional<AuthMechanism> mechanism =
        StrongestMechanism(ExtensionParameters("AUTH").value_or(""));
    if (!mechanism) {
        return AuthResult::noMechanism;
    }
    switch (*mechanism) {
    case AuthMechanism::cramMd5:
        authenticated_ = AuthCramMd5();
        break;
    case AuthMechanism::plain:
        authenticated_ = AuthPlain();
        break;
    case AuthMechanism::login:
        authenticated_ = AuthLogin();
        break;
    }
    if (!authenticated_) {
        return AuthResult::refused;
    }
    SayEhlo();
    return AuthResult::authenticated;
}

std::optional<std::string> TSmtpSender::ExtensionParameters(std::string_view keyword) const {
    const std::string wanted = UpperAscii(keyword);
    for (const std::string& extension : extensions_) {
        const std::size_t end = KeywordEnd(extension);
        if (UpperAscii(std::string_view(extension).substr(0, end)) == wanted) {
            return end < extension.size() ? extension.substr(end + 1) : std::string();
        }
    }
    return std::nullopt;
}

bool TSmtpSender::Offers(std::string_view keyword) const {
    return ExtensionParameters(keyword).has_value();
}

bool TSmtpSender::SendMailFrom(const std::string& address, std::int64_t size,
                               const MailParameters& parameters) {
    std::string command = "MAIL FROM:<" + address + ">";
    if (sizeSupported_ && size > 0) {
        command += " SIZE=" + std::to_string(size);
    }
    if (parameters.eightBit && Offers("8BITMIME")) {
        command += " BODY=8BITMIME";
    }
    if (parameters.smtputf8 && Offers("SMTPUTF8")) {
        command += " SMTPUTF8";
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
    dataEnded_ = false;
    if (Command("DATA") != 354) {
        return false;
    }
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
    if (!WriteData(pending, false)) {
        return false;
    }
    dataEnded_ = true;
    return ReadReply() == 250;
}

bool TSmtpSender::WriteData(std::string& pending, bool keepTail) {
    std::string_view rest = pending;
    while (rest.size() >= kDataWriteSize || (!keepTail && !rest.empty())) {
        // An exchanger that stops taking data must not hold the delivery for ever.
        socket_.SetSendTimeout(LimitedWait(ReplyTimeoutMs));
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
