#include "delivery/message_delivery.h"

#include "delivery/delivery_limits.h"
#include "delivery/smtp_sender.h"
#include "platform/socket_error.h"

#include <algorithm>
#include <chrono>
#include <optional>

namespace lumenpost {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReplyCodeLength = 3;
constexpr std::size_t kReplyTextStart = 4;
constexpr std::int32_t kGoAhead = 354;
constexpr std::int32_t kWillForward = 251;

DeliveryResult Temporary(std::string reason) {
    return {DeliveryStatus::temporary, std::move(reason)};
}

// "30 s" or "250 ms".
std::string DurationText(std::int32_t ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// At most kReasonLength octets, control characters (CR and LF among them) as blanks.
std::string OneLine(std::string text) {
    text.resize(std::min(text.size(), delivery_limits::kReasonLength));
    std::replace_if(
        text.begin(), text.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, ' ');
    return text;
}

// `parts` joined by `separator`, no longer than a reason can be.
std::string Joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (const std::string& part : parts) {
        if (text.size() > delivery_limits::kReasonLength) {
            break;
        }
        text += (text.empty() ? "" : separator) + part;
    }
    return OneLine(std::move(text));
}

// The reply as received: its code, then the text of each of its lines.
std::string ReplyText(const std::vector<std::string>& lines) {
    std::string text = lines.front().substr(0, kReplyCodeLength);
    for (const std::string& line : lines) {
        if (text.size() > delivery_limits::kReasonLength) {
            break;
        }
        if (line.size() > kReplyTextStart) {
            text += ' ';
            text += std::string_view(line).substr(kReplyTextStart);
        }
    }
    return OneLine(std::move(text));
}

// A complete reply as an answer for the recipients it concerns: only 5xx is final.
DeliveryResult Answer(const TSmtpSender& smtp) {
    const bool permanent = smtp.ReplyCode() / 100 == 5;
    return {permanent ? DeliveryStatus::permanent : DeliveryStatus::temporary,
            ReplyText(smtp.ReplyLines())};
}

std::string PeerText(const TSmtpSender& smtp) {
    return smtp.Socket().RemoteAddress().Text();
}

// "mx.example [192.0.2.7]:25".
std::string ExchangerText(const Exchanger& exchanger, const SocketAddress& address) {
    return exchanger.name + " [" + address.HostText() + "]:" + std::to_string(address.Port());
}

DeliveryResult UnreadableMessage(const MessageSource& message) {
    const std::string error = message.ErrorText();
    return Temporary(
        OneLine("cannot read the queued message" + (error.empty() ? std::string() : ": " + error)));
}

// QUIT only between commands: inside unended data it would become message text, and
// after a missing reply it would only wait once more.
void QuitIfAtRest(TSmtpSender& smtp) {
    if (smtp.ReplyComplete() && smtp.ReplyCode() != kGoAhead) {
        smtp.Finish();
    }
}

// How the attempt at one address ended.
enum class Next {
    settled,   // every recipient has this exchanger's answer (or a final one from before)
    address,   // another address or exchanger may take the message
    exchanger, // the exchanger cannot take it, whichever of its addresses is tried
    inClear    // the same address again, without STARTTLS
};

struct Outcome {
    Next next;
    std::string reason;
};

// One call of DeliverMessage: the recipients' answers so far and the reasons of the
// attempts that failed.
class Delivery {
public:
    Delivery(const std::string& sender, const std::vector<std::string>& recipients,
             MessageSource& message, const MessageTraits& traits, const DeliveryOptions& options)
        : sender_(sender), recipients_(recipients), message_(message), traits_(traits),
          options_(options), open_(recipients.size(), true) {
        result_.recipients.resize(recipients.size());
        if (options.attemptLimitMs >= 0) {
            deadline_ = Clock::now() + std::chrono::milliseconds(options.attemptLimitMs);
        }
    }

    MessageDeliveryResult Run(const std::vector<Exchanger>& exchangers);

private:
    bool Expired() const { return Clock::now() >= deadline_; }
    std::vector<std::size_t> OpenRecipients() const;
    // Gives `answer` to `indices`; a permanent one is final for every later attempt.
    void Settle(const std::vector<std::size_t>& indices, const DeliveryResult& answer);
    // The addresses of `exchanger` until one settles the recipients (true); the reasons of
    // those that failed go to `reasons`.
    bool TryExchanger(const Exchanger& exchanger, std::vector<std::string>& reasons);
    Outcome TryAddress(const Exchanger& exchanger, const SocketAddress& address, bool mayTls);
    void Configure(TSmtpSender& smtp) const;
    TlsTrust Trust() const;
    std::optional<Outcome> Secure(TSmtpSender& smtp, const Exchanger& exchanger, bool mayTls);
    std::optional<Outcome> LogIn(TSmtpSender& smtp, const Exchanger& exchanger);
    std::optional<std::string> Unfit(const TSmtpSender& smtp, const Exchanger& exchanger) const;
    Outcome Transact(TSmtpSender& smtp);
    Outcome SendData(TSmtpSender& smtp, const std::vector<std::size_t>& accepted);

    std::string WaitText(const TSmtpSender& smtp, std::int32_t ownMs) const;
    std::string ConnectFailure(const TSmtpSender& smtp) const;
    std::string MissingReply(const TSmtpSender& smtp) const;
    std::string Reason(const TSmtpSender& smtp) const;
    std::string HandshakeFailure(const TSmtpSender& smtp) const;

    const std::string& sender_;
    const std::vector<std::string>& recipients_;
    MessageSource& message_;
    const MessageTraits& traits_;
    const DeliveryOptions& options_;
    Clock::time_point deadline_ = Clock::time_point::max();
    std::vector<bool> open_;
    MessageDeliveryResult result_;
};

MessageDeliveryResult Delivery::Run(const std::vector<Exchanger>& exchangers) {
    if (message_.Failed()) {
        Settle(OpenRecipients(), UnreadableMessage(message_));
        return std::move(result_);
    }
    std::vector<std::string> tried;
    for (const Exchanger& exchanger : exchangers) {
        if (Expired()) {
            tried.push_back("the delivery's time limit of " +
                            DurationText(options_.attemptLimitMs) + " ran out before " +
                            exchanger.name + " was tried");
            break;
        }
        std::vector<std::string> reasons;
        if (TryExchanger(exchanger, reasons)) {
            return std::move(result_);
        }
        tried.push_back(exchanger.name + ": " +
                        (reasons.empty() ? "no address to try" : Joined(reasons, ", ")));
    }
    Settle(OpenRecipients(),
           Temporary(tried.empty() ? "no exchanger to try" : Joined(tried, "; ")));
    return std::move(result_);
}

std::vector<std::size_t> Delivery::OpenRecipients() const {
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < open_.size(); ++i) {
        if (open_[i]) {
            indices.push_back(i);
        }
    }
    return indices;
}

void Delivery::Settle(const std::vector<std::size_t>& indices, const DeliveryResult& answer) {
    for (const std::size_t i : indices) {
        result_.recipients[i] = answer;
        open_[i] = answer.status == DeliveryStatus::temporary;
    }
}

bool Delivery::TryExchanger(const Exchanger& exchanger, std::vector<std::string>& reasons) {
    for (const SocketAddress& address : exchanger.addresses) {
        if (Expired()) {
            break;
        }
        Outcome outcome = TryAddress(exchanger, address, true);
        if (outcome.next == Next::inClear) {
            reasons.push_back(outcome.reason);
            outcome = TryAddress(exchanger, address, false);
        }
        if (outcome.next == Next::settled) {
            return true;
        }
        reasons.push_back(outcome.reason);
        if (outcome.next == Next::exchanger) {
            break;
        }
    }
    return false;
}

void Delivery::Configure(TSmtpSender& smtp) const {
    smtp.LoginUser = options_.user;
    smtp.LoginPassword = options_.password;
    smtp.ReplyTimeoutMs = options_.replyTimeoutMs;
    smtp.EhloName = options_.ehloName;
    smtp.Deadline = deadline_;
    smtp.Socket().ConnectTimeoutMs = smtp.LimitedWait(options_.connectTimeoutMs);
}

Outcome Delivery::TryAddress(const Exchanger& exchanger, const SocketAddress& address,
                             bool mayTls) {
    if (!message_.Rewind()) {
        Settle(OpenRecipients(), UnreadableMessage(message_));
        return {Next::settled, {}};
    }
    TSmtpSender smtp;
    Configure(smtp);
    if (!smtp.Open(address)) {
        return {Next::address, ConnectFailure(smtp)};
    }
    result_.exchanger = ExchangerText(exchanger, address);
    result_.tls.clear();
    if (options_.submission && options_.submission->implicit) {
        if (!smtp.StartImplicitTls(exchanger.name, Trust())) {
            return {Next::exchanger, HandshakeFailure(smtp)};
        }
        result_.tls = smtp.Socket().TlsDescription();
    }
    if (!smtp.Greet()) {
        const std::string reason = Reason(smtp);
        QuitIfAtRest(smtp);
        return {Next::address, reason};
    }
    if (std::optional<Outcome> failure = Secure(smtp, exchanger, mayTls)) {
        return std::move(*failure);
    }
    if (std::optional<Outcome> failure = LogIn(smtp, exchanger)) {
        return std::move(*failure);
    }
    if (std::optional<std::string> refusal = Unfit(smtp, exchanger)) {
        Settle(OpenRecipients(), {DeliveryStatus::permanent, OneLine(*refusal)});
        QuitIfAtRest(smtp);
        return {Next::settled, {}};
    }
    return Transact(smtp);
}

// A relay host must prove its name; an exchanger's certificate is not checked (most
// would fail, and the mail would only go in clear instead).
TlsTrust Delivery::Trust() const {
    return options_.submission ? TlsTrust{true, options_.submission->caFile} : TlsTrust{};
}

// Nothing when the dialogue may go on (encrypted, or in clear as the policy allows).
std::optional<Outcome> Delivery::Secure(TSmtpSender& smtp, const Exchanger& exchanger,
                                        bool mayTls) {
    const bool submission = options_.submission.has_value();
    if (smtp.Socket().Encrypted() ||
        (!submission && (options_.tls == TlsPolicy::none || !mayTls))) {
        return std::nullopt;
    }
    const bool required = submission || options_.tls == TlsPolicy::encrypt;
    if (!smtp.Offers("STARTTLS")) {
        if (!required) {
            return std::nullopt;
        }
        QuitIfAtRest(smtp);
        return Outcome{Next::exchanger,
                       PeerText(smtp) + " does not offer STARTTLS, which " +
                           (submission ? "a relay host must: neither mail nor password go to it "
                                         "in clear (port 465 takes TLS from the start)"
                                       : "the TLS policy requires")};
    }
    switch (smtp.StartTls(exchanger.name, Trust())) {
    case TlsUpgrade::encrypted:
        result_.tls = smtp.Socket().TlsDescription();
        return std::nullopt;
    case TlsUpgrade::refused: {
        if (!required) {
            return std::nullopt;
        }
        Outcome refused{Next::exchanger, OneLine(PeerText(smtp) + " refused STARTTLS: " +
                                                 ReplyText(smtp.ReplyLines()))};
        QuitIfAtRest(smtp);
        return refused;
    }
    case TlsUpgrade::handshakeFailed:
        return Outcome{required ? Next::exchanger : Next::inClear, HandshakeFailure(smtp)};
    default:
        return Outcome{Next::address, Reason(smtp)};
    }
}

// Nothing when the dialogue may go on: logged in, or no login asked for. At a relay host
// a refused login is the recipients' answer; elsewhere the reply to MAIL decides.
std::optional<Outcome> Delivery::LogIn(TSmtpSender& smtp, const Exchanger& exchanger) {
    if (options_.user.empty() && options_.password.empty()) {
        return std::nullopt;
    }
    const AuthResult result = smtp.Authenticate();
    if (result == AuthResult::authenticated || !options_.submission) {
        return std::nullopt;
    }
    if (result == AuthResult::noMechanism) {
        QuitIfAtRest(smtp);
        return Outcome{Next::exchanger, exchanger.name + " offers no login that Lumenpost knows "
                                                         "(CRAM-MD5, PLAIN or LOGIN)"};
    }
    if (!smtp.ReplyComplete()) {
        return Outcome{Next::address, MissingReply(smtp)};
    }
    const DeliveryResult answer = Answer(smtp);
    QuitIfAtRest(smtp);
    const std::string reason =
        OneLine(answer.reason + " (login as " + options_.user + " at " + exchanger.name +
                (answer.status == DeliveryStatus::permanent
                     ? " refused; check relayuser and the password in the settings)"
                     : " failed for now)"));
    if (answer.status == DeliveryStatus::permanent) {
        Settle(OpenRecipients(), {DeliveryStatus::permanent, reason});
        return Outcome{Next::settled, {}};
    }
    return Outcome{Next::exchanger, reason};
}

// Why the exchanger cannot take this message at all, whatever the recipients.
std::optional<std::string> Delivery::Unfit(const TSmtpSender& smtp,
                                           const Exchanger& exchanger) const {
    if (traits_.smtputf8 && !smtp.Offers("SMTPUTF8")) {
        return exchanger.name + " does not accept SMTPUTF8 mail (addresses or headers with "
                                "non-ASCII characters), which this message is";
    }
    const std::int64_t limit = smtp.ServerMaxSize();
    if (limit > 0 && message_.Size() > limit) {
        return "message of " + std::to_string(message_.Size()) + " octets is larger than the " +
               std::to_string(limit) + " octets " + exchanger.name + " accepts";
    }
    return std::nullopt;
}

Outcome Delivery::Transact(TSmtpSender& smtp) {
    const std::vector<std::size_t> recipients = OpenRecipients();
    if (!smtp.SendMailFrom(sender_, message_.Size(), {traits_.eightBit, traits_.smtputf8})) {
        if (!smtp.ReplyComplete()) {
            return {Next::address, MissingReply(smtp)};
        }
        const DeliveryResult answer = Answer(smtp);
        QuitIfAtRest(smtp);
        if (answer.status == DeliveryStatus::permanent) {
            Settle(recipients, answer);
            return {Next::settled, {}};
        }
        return {Next::address, answer.reason};
    }
    std::vector<std::size_t> accepted;
    for (const std::size_t i : recipients) {
        if (smtp.SendRcptTo(recipients_[i]) || smtp.ReplyCode() == kWillForward) {
            accepted.push_back(i);
        } else if (!smtp.ReplyComplete()) {
            return {Next::address, MissingReply(smtp)};
        } else {
            Settle({i}, Answer(smtp));
        }
    }
    if (accepted.empty()) {
        QuitIfAtRest(smtp);
        return {Next::settled, {}};
    }
    return SendData(smtp, accepted);
}

Outcome Delivery::SendData(TSmtpSender& smtp, const std::vector<std::size_t>& accepted) {
    if (smtp.SendMessageData(message_)) {
        Settle(accepted, {DeliveryStatus::delivered, ReplyText(smtp.ReplyLines())});
        QuitIfAtRest(smtp);
        return {Next::settled, {}};
    }
    if (message_.Failed()) {
        Settle(accepted, UnreadableMessage(message_));
        return {Next::settled, {}};
    }
    if (smtp.DataEnded()) {
        // The exchanger may well have the message now: no other may get it as well.
        Settle(accepted, smtp.ReplyComplete() ? Answer(smtp) : Temporary(MissingReply(smtp)));
        QuitIfAtRest(smtp);
        return {Next::settled, {}};
    }
    if (!smtp.ReplyComplete()) {
        return {Next::address, MissingReply(smtp)};
    }
    Settle(accepted, Answer(smtp));
    QuitIfAtRest(smtp);
    return {Next::settled, {}};
}

// " within 30 s", or how the delivery's own limit cut the wait short.
std::string Delivery::WaitText(const TSmtpSender& smtp, std::int32_t ownMs) const {
    if (smtp.DeadlinePassed()) {
        return " before the delivery's time limit of " + DurationText(options_.attemptLimitMs) +
               " ran out";
    }
    return ownMs < 0 ? std::string() : " within " + DurationText(ownMs);
}

std::string Delivery::ConnectFailure(const TSmtpSender& smtp) const {
    const std::int32_t error = smtp.Socket().ErrorCode();
    switch (error) {
    case socket_error::kConnectionRefused:
        return "connection refused by " + PeerText(smtp);
    case socket_error::kTimedOut:
        return "no answer from " + PeerText(smtp) + WaitText(smtp, options_.connectTimeoutMs);
    default:
        return "cannot connect to " + PeerText(smtp) + ": " + TBlockingSocket::GetErrorDesc(error);
    }
}

// A reply that did not arrive whole leaves its error on the socket (none when it had
// too many lines or no code); a data write that failed leaves the write's error.
std::string Delivery::MissingReply(const TSmtpSender& smtp) const {
    switch (smtp.Socket().ErrorCode()) {
    case socket_error::kTimedOut:
        return "no reply from " + PeerText(smtp) + WaitText(smtp, options_.replyTimeoutMs);
    case socket_error::kWouldBlock:
        return "message data not taken by " + PeerText(smtp) +
               WaitText(smtp, options_.replyTimeoutMs);
    case 0:
    case TBlockingSocket::kLineTooLong:
        return "unreadable reply from " + PeerText(smtp);
    default:
        return "connection to " + PeerText(smtp) + " lost";
    }
}

std::string Delivery::Reason(const TSmtpSender& smtp) const {
    return smtp.ReplyComplete() ? ReplyText(smtp.ReplyLines()) : MissingReply(smtp);
}

std::string Delivery::HandshakeFailure(const TSmtpSender& smtp) const {
    const TTcpBlockingSocket& socket = smtp.Socket();
    const std::string why = socket.ErrorCode() == socket_error::kTimedOut
                                ? "no answer" + WaitText(smtp, options_.replyTimeoutMs)
                                : socket.TlsFailure();
    return OneLine("TLS handshake with " + PeerText(smtp) + " failed: " + why +
                   (options_.submission ? "; nothing was sent, no password either" : ""));
}

} // namespace

MessageDeliveryResult DeliverMessage(const std::string& sender,
                                     const std::vector<std::string>& recipients,
                                     const std::vector<Exchanger>& exchangers,
                                     MessageSource& message, const MessageTraits& traits,
                                     const DeliveryOptions& options) {
    return Delivery(sender, recipients, message, traits, options).Run(exchangers);
}

} // namespace lumenpost
