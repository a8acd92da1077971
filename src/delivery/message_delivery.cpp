#include "delivery/message_delivery.h"

#include "delivery/delivery_limits.h"
#include "delivery/host_address.h"
#include "delivery/smtp_sender.h"
#include "platform/network_interfaces.h"
#include "platform/socket_error.h"

#include <algorithm>
#include <arpa/inet.h>

namespace lumenpost {

namespace {

constexpr std::size_t kReplyCodeLength = 3;
constexpr std::size_t kReplyTextStart = 4;
constexpr std::int32_t kGoAhead = 354;
constexpr std::int32_t kWillForward = 251;

DeliveryResult Temporary(std::string reason) {
    return {DeliveryStatus::temporary, std::move(reason)};
}

// " within 30 s" (or " within 250 ms"); nothing for the system's own limit.
std::string WithinText(std::int32_t timeoutMs) {
    if (timeoutMs < 0) {
        return {};
    }
    return timeoutMs % 1000 == 0 ? " within " + std::to_string(timeoutMs / 1000) + " s"
                                 : " within " + std::to_string(timeoutMs) + " ms";
}

// At most kReasonLength octets, control characters (CR and LF among them) as blanks.
std::string OneLine(std::string text) {
    text.resize(std::min(text.size(), delivery_limits::kReasonLength));
    std::replace_if(
        text.begin(), text.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, ' ');
    return text;
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

std::string PeerText(TSmtpSender& smtp) {
    return AddressText(smtp.Socket().RemoteAddress());
}

std::string ConnectFailure(TSmtpSender& smtp, const DeliveryOptions& options) {
    const std::int32_t error = smtp.Socket().ErrorCode();
    switch (error) {
    case socket_error::kConnectionRefused:
        return "connection refused by " + PeerText(smtp);
    case socket_error::kTimedOut:
        return "no answer from " + PeerText(smtp) + WithinText(options.connectTimeoutMs);
    default:
        return "cannot connect to " + PeerText(smtp) + ": " + TBlockingSocket::GetErrorDesc(error);
    }
}

// A reply that did not arrive whole leaves its error on the socket (none when it had
// too many lines or no code); a data write that failed leaves the write's error.
bool ReplyComplete(TSmtpSender& smtp) {
    return smtp.ReplyCode() != 0 && smtp.Socket().ErrorCode() == 0;
}

std::string MissingReply(TSmtpSender& smtp, const DeliveryOptions& options) {
    switch (smtp.Socket().ErrorCode()) {
    case socket_error::kTimedOut:
        return "no reply from " + PeerText(smtp) + WithinText(options.replyTimeoutMs);
    case socket_error::kWouldBlock:
        return "message data not taken by " + PeerText(smtp) + WithinText(options.replyTimeoutMs);
    case 0:
    case TBlockingSocket::kLineTooLong:
        return "unreadable reply from " + PeerText(smtp);
    default:
        return "connection to " + PeerText(smtp) + " lost";
    }
}

std::string Reason(TSmtpSender& smtp, const DeliveryOptions& options) {
    return ReplyComplete(smtp) ? ReplyText(smtp.ReplyLines()) : MissingReply(smtp, options);
}

// Connection, greeting and EHLO/HELO: nothing final is said there about this message,
// and another exchanger might take it.
DeliveryResult StartFailure(TSmtpSender& smtp, const DeliveryOptions& options) {
    return Temporary(smtp.Connected() ? Reason(smtp, options) : ConnectFailure(smtp, options));
}

// A step of the transaction refused or unanswered: only a 5xx reply is final.
DeliveryResult Refusal(TSmtpSender& smtp, const DeliveryOptions& options) {
    const bool permanent = ReplyComplete(smtp) && smtp.ReplyCode() / 100 == 5;
    return {permanent ? DeliveryStatus::permanent : DeliveryStatus::temporary,
            Reason(smtp, options)};
}

DeliveryResult UnreadableMessage(const MessageSource& message) {
    const std::string error = message.ErrorText();
    return Temporary(
        OneLine("cannot read the queued message" + (error.empty() ? std::string() : ": " + error)));
}

DeliveryResult RunTransaction(TSmtpSender& smtp, const std::string& sender,
                              const std::string& recipient, MessageSource& message,
                              const DeliveryOptions& options) {
    if (!smtp.SendMailFrom(sender, message.Size())) {
        return Refusal(smtp, options);
    }
    if (!smtp.SendRcptTo(recipient) && smtp.ReplyCode() != kWillForward) {
        return Refusal(smtp, options);
    }
    if (smtp.SendMessageData(message)) {
        return {DeliveryStatus::delivered, ReplyText(smtp.ReplyLines())};
    }
    return message.Failed() ? UnreadableMessage(message) : Refusal(smtp, options);
}

void ApplyOptions(TSmtpSender& smtp, const DeliveryOptions& options) {
    smtp.LoginUser = options.user;
    smtp.LoginPassword = options.password;
    smtp.ReplyTimeoutMs = options.replyTimeoutMs;
    smtp.Socket().ConnectTimeoutMs = options.connectTimeoutMs;
}

// QUIT only between commands: inside unended data it would become message text, and
// after a missing reply it would only wait once more.
bool DialogueAtRest(TSmtpSender& smtp) {
    return ReplyComplete(smtp) && smtp.ReplyCode() != kGoAhead;
}

} // namespace

DeliveryResult DeliverMessage(const std::string& sender, const std::string& recipient,
                              const std::string& server, MessageSource& message,
                              const DeliveryOptions& options) {
    if (message.Failed()) {
        return UnreadableMessage(message);
    }
    TSmtpSender smtp;
    smtp.SetServer(server);
    // Resolved here, so that a failing name has its own reason and the connection
    // reasons name the address tried.
    std::string failure;
    const std::optional<in_addr_t> address = LookupIPv4(smtp.ServerHost, &failure);
    if (!address) {
        return Temporary(OneLine("cannot resolve " + smtp.ServerHost + ": " + failure));
    }
    smtp.ServerHost = DottedIpv4(ntohl(*address));
    ApplyOptions(smtp, options);
    if (!smtp.Start()) {
        return StartFailure(smtp, options);
    }
    DeliveryResult result = RunTransaction(smtp, sender, recipient, message, options);
    if (DialogueAtRest(smtp)) {
        smtp.Finish();
    }
    return result;
}

} // namespace lumenpost
