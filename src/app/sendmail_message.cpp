#include "app/sendmail_message.h"

#include "delivery/mail_date.h"
#include "queue/queue_folder.h"
#include "relay/local_message_lines.h"
#include "relay/message_header_reader.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

namespace lumenpost {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;

std::string SystemText(int err) {
    return std::strerror(err);
}

// Writes into the memory file in blocks of kChunk and counts what it was given.
class MemoryFileWriter {
public:
    explicit MemoryFileWriter(int fd) : fd_(fd) {}

    void Write(std::string_view text) {
        buffer_ += text;
        written_ += static_cast<std::int64_t>(text.size());
        if (buffer_.size() >= kChunk) {
            Flush();
        }
    }

    // Nothing, or the errno of the first failed write.
    std::optional<int> Flush() {
        for (std::string_view rest = buffer_; !rest.empty() && !error_;) {
            const ssize_t put = ::write(fd_, rest.data(), rest.size());
            if (put > 0) {
                rest.remove_prefix(static_cast<std::size_t>(put));
            } else if (put == 0 || errno != EINTR) {
                error_ = put == 0 ? ENOSPC : errno;
            }
        }
        buffer_.clear();
        return error_;
    }

    std::int64_t Written() const { return written_; }

private:
    int fd_;
    std::string buffer_;
    std::int64_t written_ = 0;
    std::optional<int> error_;
};

class Composer {
public:
    Composer(int input, const ComposeOptions& options)
        : input_(input), options_(options), lines_(options.dotEnds) {}

    ComposedMessage Run();

private:
    // Each step says whether to go on; a step that stops leaves its fault in result_.
    bool Start();
    bool ReadHeader();
    bool ReadBody();
    void Seal();
    bool Read(std::string& text);
    void WriteHeader(const std::string& pending, const HeaderBounds& bounds);
    std::string AddedFields(const HeaderReading& reading) const;
    bool Refused(); // after every step: a fault found in what was read or written
    void Fault(ComposeFault fault, std::string error);

    int input_;
    const ComposeOptions& options_;
    LocalMessageLines lines_;
    bool done_ = false; // the input has ended (or its "." line came)
    std::optional<MemoryFileWriter> writer_;
    ComposedMessage result_;
};

ComposedMessage Composer::Run() {
    if (Start() && ReadHeader() && ReadBody()) {
        Seal();
    }
    return std::move(result_);
}

bool Composer::Start() {
    result_.file.Reset(::memfd_create("lumenpost-message", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!result_.file.Valid()) {
        Fault(ComposeFault::local, "cannot make a memory file for the message (" +
                                       SystemText(errno) + "); free some memory and try again");
        return false;
    }
    writer_.emplace(result_.file.Get());
    return true;
}

// Holds the text until the header's end is known, then writes the header.
bool Composer::ReadHeader() {
    std::string pending;
    std::optional<HeaderBounds> bounds;
    while (!(bounds = FindHeaderEnd(pending, done_))) {
        if (pending.size() > kLongestHeader) {
            Fault(ComposeFault::notText, "the message header is longer than " +
                                             std::to_string(kLongestHeader) +
                                             " octets; end it with an empty line before the body");
            return false;
        }
        if (!Read(pending) || Refused()) {
            return false;
        }
    }
    WriteHeader(pending, *bounds);
    return !Refused();
}

bool Composer::ReadBody() {
    std::string text;
    while (!done_) {
        text.clear();
        if (!Read(text) || Refused()) {
            return false;
        }
        writer_->Write(text);
        if (Refused()) {
            return false;
        }
    }
    return true;
}

void Composer::Seal() {
    if (const auto err = writer_->Flush()) {
        Fault(ComposeFault::local,
              "cannot write the message into memory (" + SystemText(*err) + "); try again");
    } else if (::fcntl(result_.file.Get(), F_ADD_SEALS, kSeals) != 0) {
        Fault(ComposeFault::local, "cannot seal the message's memory file (" + SystemText(errno) +
                                       "); the system must allow sealing memory files");
    }
}

// Appends the next block of the input in the queue's form; false after a failed read.
bool Composer::Read(std::string& text) {
    std::array<char, kChunk> block{};
    for (;;) {
        const ssize_t got = ::read(input_, block.data(), block.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            Fault(ComposeFault::input, "cannot read the message from stdin (" + SystemText(errno) +
                                           "); pipe it in or redirect a file");
            return false;
        }
        if (got == 0) {
            lines_.Finish(text);
            done_ = true;
        } else {
            lines_.Add({block.data(), static_cast<std::size_t>(got)}, text);
            done_ = lines_.Ended();
        }
        return true;
    }
}

// The header without its Bcc fields and with the fields we add, then the empty line
// (when a body follows or there was one) and what was read of the body.
void Composer::WriteHeader(const std::string& pending, const HeaderBounds& bounds) {
    const HeaderReading reading =
        ReadMessageHeader(std::string_view(pending).substr(0, bounds.fieldsEnd));
    result_.headerRecipients = reading.recipients;
    result_.unreadable = reading.unreadable;
    writer_->Write(reading.withoutBcc);
    writer_->Write(AddedFields(reading));
    const std::string_view body = std::string_view(pending).substr(bounds.bodyStart);
    if (bounds.separated || !body.empty() || !done_) {
        writer_->Write("\r\n");
    }
    writer_->Write(body);
}

std::string Composer::AddedFields(const HeaderReading& reading) const {
    std::string fields;
    if (!reading.hasDate) {
        fields += "Date: " + MailDateTimeNow() + "\r\n";
    }
    if (!reading.hasMessageId) {
        fields += "Message-ID: <" + QueueFolder::NewId() + "@" + options_.domain + ">\r\n";
    }
    return fields;
}

bool Composer::Refused() {
    if (result_.fault != ComposeFault::none) {
        return true;
    }
    if (lines_.SawNul()) {
        Fault(ComposeFault::notText, "the message holds a NUL octet, so it is no text; send "
                                     "text, or encode it (MIME base64)");
        return true;
    }
    if (writer_->Written() > options_.maxSize) {
        Fault(ComposeFault::tooLarge,
              "the message is larger than the size limit of " + std::to_string(options_.maxSize) +
                  " octets; send a smaller one, or raise maxsize in the settings file");
        return true;
    }
    return false;
}

void Composer::Fault(ComposeFault fault, std::string error) {
    result_.fault = fault;
    result_.error = std::move(error);
    result_.file.Reset();
}

} // namespace

ComposedMessage ComposeMessage(int input, const ComposeOptions& options) {
    return Composer(input, options).Run();
}

} // namespace lumenpost
