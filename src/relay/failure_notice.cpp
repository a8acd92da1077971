#include "relay/failure_notice.h"

#include "platform/ascii_text.h"
#include "relay/relay_pass.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace lumenpost {
namespace {

constexpr const char* kCrLf = "\r\n";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The reason is an exchanger's reply when it starts with a three-digit code.
bool IsReply(std::string_view reason) {
    return reason.size() >= 3 && IsDigit(reason[0]) && IsDigit(reason[1]) && IsDigit(reason[2]) &&
           (reason.size() == 3 || reason[3] == ' ');
}

// "5.1.1" after the reply code, when the reply carries one.
std::string EnhancedCodeOf(std::string_view reason) {
    if (!IsReply(reason) || reason.size() < 9) {
        return {};
    }
    const std::string_view rest = reason.substr(4);
    const std::size_t end = std::min(rest.find(' '), rest.size());
    const std::string_view code = rest.substr(0, end);
    const bool wellFormed =
        code.size() >= 5 && (code[0] == '4' || code[0] == '5') && code[1] == '.' &&
        std::count(code.begin(), code.end(), '.') == 2 &&
        std::all_of(code.begin(), code.end(), [](char c) { return IsDigit(c) || c == '.'; });
    return wellFormed ? std::string(code) : std::string();
}

// The RFC 3463 status of a failure: the exchanger's own, else one that fits its reason.
std::string StatusOf(const std::string& reason) {
    if (std::string code = EnhancedCodeOf(reason); !code.empty()) {
        return "5" + code.substr(1);
    }
    if (reason.starts_with("gave up after")) {
        return "4.4.7";
    }
    if (reason.find("does not exist") != std::string::npos) {
        return "5.1.2";
    }
    if (reason.find("does not accept mail") != std::string::npos) {
        return "5.1.10";
    }
    if (reason.find("loops back") != std::string::npos) {
        return "5.4.6";
    }
    return "5.0.0";
}

std::string HumanPart(const NoticeContent& content) {
    std::string lines;
    for (const FailedRecipient& failed : content.failed) {
        lines += "Your Email From: " + content.original.sender + " /" + "To: " + failed.address +
                 " Relay Fail...";
        lines += kCrLf;
        lines += "Reason: " + failed.reason;
        lines += kCrLf;
        lines += kCrLf;
    }
    std::string part = "Content-Type: text/plain; charset=utf-8";
    part += kCrLf;
    part += !IsAscii(lines) ? "Content-Transfer-Encoding: 8bit" : "Content-Transfer-Encoding: 7bit";
    part += kCrLf;
    part += kCrLf;
    return part + lines;
}

std::string RecipientFields(const FailedRecipient& failed) {
    std::string fields = "Final-Recipient: rfc822; " + failed.address + kCrLf;
    fields += "Action: failed";
    fields += kCrLf;
    fields += "Status: " + StatusOf(failed.reason) + kCrLf;
    if (!failed.exchanger.empty()) {
        fields +=
            "Remote-MTA: dns; " + failed.exchanger.substr(0, failed.exchanger.find(' ')) + kCrLf;
    }
    if (IsReply(failed.reason)) {
        fields += "Diagnostic-Code: smtp; " + failed.reason + kCrLf;
    }
    return fields;
}

std::string StatusPart(const NoticeContent& content) {
    std::string part = "Content-Type: message/delivery-status";
    part += kCrLf;
    part += kCrLf;
    part += "Reporting-MTA: dns; " + content.machineName + kCrLf;
    part += "X-Lumenpost-Queue-ID: " + content.original.id + kCrLf;
    for (const FailedRecipient& failed : content.failed) {
        part += kCrLf;
        part += RecipientFields(failed);
    }
    return part;
}

std::string HeadersPart(const NoticeContent& content) {
    std::string part = "Content-Type: text/rfc822-headers";
    part += kCrLf;
    if (!IsAscii(content.originalHeaders)) {
        part += "Content-Transfer-Encoding: 8bit";
        part += kCrLf;
    }
    part += kCrLf;
    part += content.originalHeaders;
    return part;
}

std::string NoticeHeader(const NoticeContent& content, const std::string& boundary) {
    std::string header = "From: " + content.postmaster + kCrLf;
    header += "To: " + content.original.sender + kCrLf;
    header += "Date: " + content.date + kCrLf;
    header += std::string("Subject: ") + kNoticeSubject + kCrLf;
    header += "Message-ID: <" + content.noticeId + "." + content.machineName + ">" + kCrLf;
    header += "Auto-Submitted: auto-replied";
    header += kCrLf;
    header += "MIME-Version: 1.0";
    header += kCrLf;
    header += "Content-Type: multipart/report; report-type=delivery-status;";
    header += kCrLf;
    header += "\tboundary=\"" + boundary + "\"" + kCrLf;
    return header;
}

} // namespace

std::string FailureNoticeText(const NoticeContent& content) {
    const std::string boundary = "=_lumenpost_notice_" + content.noticeId;
    const std::string delimiter = "--" + boundary + kCrLf;
    std::string text = NoticeHeader(content, boundary);
    text += kCrLf;
    for (const std::string& part :
         {HumanPart(content), StatusPart(content), HeadersPart(content)}) {
        text += kCrLf;
        text += delimiter;
        text += part;
    }
    text += kCrLf;
    text += "--" + boundary + "--" + kCrLf;
    return text;
}

std::string ReadHeaderLines(const std::string& dataPath) {
    std::ifstream file(dataPath, std::ios::binary);
    std::string text(kNoticeHeaderLimit, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(std::max<std::streamsize>(file.gcount(), 0)));
    const std::size_t end = text.find("\r\n\r\n");
    if (end != std::string::npos) {
        text.resize(end + 2);
    } else {
        const std::size_t lastLine = text.rfind("\r\n");
        text.resize(lastLine == std::string::npos ? 0 : lastLine + 2);
    }
    return text;
}

Envelope NoticeEnvelope(const std::string& noticeId, std::int64_t now, const Envelope& original,
                        const std::string& text) {
    Envelope notice;
    notice.id = noticeId;
    notice.arrival = now;
    notice.smtputf8 = original.smtputf8;
    notice.eightBit = !IsAscii(text);
    notice.recipients.push_back(QueuedRecipient::Pending(original.sender));
    return notice;
}

} // namespace lumenpost
