#include "relay/local_submission.h"

#include "delivery/mail_date.h"
#include "platform/ascii_text.h"
#include "relay/hop_counter.h"
#include "relay/local_message_lines.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace lumenpost {
namespace {

constexpr std::string_view kHexDigits = "0123456789ABCDEF";
constexpr std::size_t npos = std::string_view::npos;
// What one read of the message's file takes.
constexpr std::size_t kChunk = 64 * 1024;
// A file sealed like this can change no more.
constexpr int kRequiredSeals = F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK;

bool NeedsXtext(char c) {
    const auto octet = static_cast<unsigned char>(c);
    return octet < 33 || octet > 126 || c == '+' || c == '<' || c == '>' || c == '=';
}

void AppendXtext(std::string_view address, std::string& out) {
    out += " <";
    for (const char c : address) {
        if (NeedsXtext(c)) {
            const auto octet = static_cast<unsigned char>(c);
            out += '+';
            out += kHexDigits[octet >> 4];
            out += kHexDigits[octet & 0xF];
        } else {
            out += c;
        }
    }
    out += '>';
}

// The address of one "<xtext>" word; nothing when the word is not one.
std::optional<std::string> DecodeXtext(std::string_view word) {
    if (word.size() < 2 || word.front() != '<' || word.back() != '>') {
        return std::nullopt;
    }
    word = word.substr(1, word.size() - 2);
    std::string address;
    for (std::size_t at = 0; at < word.size(); ++at) {
        if (word[at] != '+') {
            if (NeedsXtext(word[at])) {
                return std::nullopt;
            }
            address += word[at];
            continue;
        }
        const std::size_t high = at + 1 < word.size() ? kHexDigits.find(word[at + 1]) : npos;
        const std::size_t low = at + 2 < word.size() ? kHexDigits.find(word[at + 2]) : npos;
        if (high == npos || low == npos) {
            return std::nullopt;
        }
        address += static_cast<char>(high * 16 + low);
        at += 2;
    }
    return address;
}

std::string SystemText(int err) {
    return std::strerror(err);
}

SpooledSubmission Fault(SubmissionFault fault, std::string error) {
    SpooledSubmission refused;
    refused.fault = fault;
    refused.error = std::move(error);
    return refused;
}

SpooledSubmission TooLarge(std::int64_t maxSize) {
    return Fault(SubmissionFault::tooLarge,
                 "the message is larger than the size limit of " + std::to_string(maxSize) +
                     " octets; send a smaller one, or raise maxsize in the settings file");
}

// The file's size once it is sure not to change; nothing (and `error` set) otherwise.
std::optional<std::int64_t> SealedSize(int file, std::string& error) {
    struct stat status {};
    const int seals = ::fcntl(file, F_GET_SEALS);
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode) || seals < 0 ||
        (seals & kRequiredSeals) != kRequiredSeals) {
        error = "the message did not come in a sealed memory file; hand it over with "
                "lumenpost --sendmail";
        return std::nullopt;
    }
    return static_cast<std::int64_t>(status.st_size);
}

// What the copy learns of the text on its way.
struct CopiedText {
    std::int64_t size = 0;
    bool eightBit = false;
    bool nul = false;
    HopCounter hops;
};

// Copies the file's text into `spool` through the line normaliser; stops early once the
// text is over `maxSize` or holds a NUL. Returns the errno of a failed read.
std::optional<int> CopyText(int file, SpoolFile& spool, std::int64_t maxSize, CopiedText& copied) {
    LocalMessageLines lines(false);
    std::array<char, kChunk> chunk{};
    std::string text;
    off_t offset = 0;
    for (bool more = true; more && copied.size <= maxSize && !copied.nul;) {
        const ssize_t got = ::pread(file, chunk.data(), chunk.size(), offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        text.clear();
        more = got > 0;
        offset += got;
        if (more) {
            lines.Add({chunk.data(), static_cast<std::size_t>(got)}, text);
        } else {
            lines.Finish(text);
        }
        copied.size += static_cast<std::int64_t>(text.size());
        copied.eightBit = copied.eightBit || !IsAscii(text);
        copied.nul = lines.SawNul();
        copied.hops.Add(text);
        spool.Append(text); // a failed write shows when the spool is committed
    }
    return std::nullopt;
}

} // namespace

std::string FormatSubmitRequest(const SubmissionEnvelope& envelope) {
    std::string request(kSubmitVerb);
    AppendXtext(envelope.sender, request);
    for (const std::string& recipient : envelope.recipients) {
        AppendXtext(recipient, request);
    }
    return request;
}

std::optional<SubmissionEnvelope> ParseSubmitRequest(std::string_view request) {
    if (!request.starts_with(kSubmitVerb)) {
        return std::nullopt;
    }
    request.remove_prefix(kSubmitVerb.size());
    std::vector<std::string> addresses;
    while (request.starts_with(' ')) {
        const std::size_t end = std::min(request.find(' ', 1), request.size());
        std::optional<std::string> address = DecodeXtext(request.substr(1, end - 1));
        if (!address) {
            return std::nullopt;
        }
        addresses.push_back(std::move(*address));
        request.remove_prefix(end);
    }
    if (!request.empty() || addresses.size() < 2) {
        return std::nullopt;
    }
    SubmissionEnvelope envelope{std::move(addresses.front()), {}};
    envelope.recipients.assign(std::make_move_iterator(addresses.begin() + 1),
                               std::make_move_iterator(addresses.end()));
    return envelope;
}

std::string LocalReceivedLine(const SubmissionSource& source, const std::string& id,
                              const std::string& date) {
    return "Received: from local user " + WithoutControls(source.userName) + " (uid " +
           std::to_string(source.uid) + ")\r\n\tby " + source.machineName + " with local id " + id +
           ";\r\n\t" + date + "\r\n";
}

SpooledSubmission SpoolSubmission(const QueueFolder& folder, const SubmissionEnvelope& envelope,
                                  int file, const SubmissionSource& source) {
    std::string error;
    const std::optional<std::int64_t> fileSize = SealedSize(file, error);
    if (!fileSize) {
        return Fault(SubmissionFault::local, error);
    }
    // Line ends only grow in the copy, so the file's size is where the text starts.
    if (*fileSize > source.maxSize) {
        return TooLarge(source.maxSize);
    }
    SpooledSubmission spooled;
    const std::string id = QueueFolder::NewId();
    spooled.spool = folder.CreateSpool(id, error);
    if (!spooled.spool) {
        return Fault(SubmissionFault::local, error);
    }
    const std::string received = LocalReceivedLine(source, id, MailDateTimeNow());
    spooled.spool->Append(received);
    CopiedText copied;
    if (const auto err = CopyText(file, *spooled.spool, source.maxSize, copied)) {
        return Fault(SubmissionFault::local, "cannot read the message: " + SystemText(*err));
    }
    if (copied.nul) {
        return Fault(SubmissionFault::notText, "the message holds a NUL octet, so it is no "
                                               "text; send text, or encode it (MIME base64)");
    }
    if (copied.size > source.maxSize) {
        return TooLarge(source.maxSize);
    }
    if (copied.hops.Hops() > kMaxHops) {
        return Fault(SubmissionFault::looping,
                     "the message has more than " + std::to_string(kMaxHops) +
                         " Received fields: it is looping between relays; do not send it again");
    }
    spooled.envelope = {
        id, source.now, envelope.sender, false, copied.eightBit || !IsAscii(received), {}};
    spooled.envelope.smtputf8 = !IsAscii(envelope.sender);
    for (const std::string& recipient : envelope.recipients) {
        spooled.envelope.smtputf8 = spooled.envelope.smtputf8 || !IsAscii(recipient);
        spooled.envelope.recipients.push_back(QueuedRecipient::Pending(recipient));
    }
    return spooled;
}

} // namespace lumenpost
