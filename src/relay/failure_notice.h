#pragma once

#include "queue/envelope.h"
#include "relay/queue_book.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lumenpost {

inline constexpr const char* kNoticeSubject = "Email Relay Fail Notice";

// What a notice about one delivery round of a message says.
struct NoticeContent {
    Envelope original;                   // the failed message's envelope
    std::vector<FailedRecipient> failed; // every recipient that failed in the round
    std::string originalHeaders;         // its header lines, CR LF ended
    std::string postmaster;              // From: of the notice
    std::string machineName;             // the reporting relay
    std::string noticeId;                // queue id of the notice (Message-ID, boundary)
    std::string date;                    // RFC 5322 date of the notice
};

// The notice as a delivery status report (RFC 3464), CR LF line ends: a human part with
// one "Your Email From: ... /To: ... Relay Fail..." line and its reason per failed
// recipient, a message/delivery-status part, and the original's header lines.
std::string FailureNoticeText(const NoticeContent& content);

// The header lines of the message text in `dataPath` (up to the empty line, at most
// kNoticeHeaderLimit octets, whole lines only); empty when it cannot be read.
inline constexpr std::size_t kNoticeHeaderLimit = 64 * 1024;
std::string ReadHeaderLines(const std::string& dataPath);

// The envelope of a notice: the null sender, so that a notice that fails never causes
// another; the original's sender as its only recipient.
Envelope NoticeEnvelope(const std::string& noticeId, std::int64_t now, const Envelope& original,
                        const std::string& text);

} // namespace lumenpost
