#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace lumenpost {

// The largest piece a message source hands out at a time.
inline constexpr std::size_t kMessagePieceSize = 64 * 1024;

// The text of a queued message as stored: CR LF line ends, dot transparency undone.
// Read piece by piece, so that a delivery holds a bounded buffer whatever the size.
class MessageSource {
public:
    virtual ~MessageSource() = default;
    // Octets of the whole text (for MAIL FROM's SIZE).
    virtual std::int64_t Size() const = 0;
    // Replaces `chunk` with the next piece (at most 64 KiB); false at the end or on a
    // read error.
    virtual bool Next(std::string& chunk) = 0;
    // True after a read error: the delivery must not end the data as if complete.
    virtual bool Failed() const = 0;
    // Starts the text over, for another connection; false when it cannot be read again.
    virtual bool Rewind() = 0;
    // Why reading failed, for the delivery's reason; empty when unknown.
    virtual std::string ErrorText() const { return {}; }
};

// A message data file, read with a 64 KiB buffer. A file that cannot be opened is a
// source that failed before its first piece.
class FileMessageSource : public MessageSource {
public:
    explicit FileMessageSource(const std::string& path);
    ~FileMessageSource() override;
    FileMessageSource(const FileMessageSource&) = delete;
    FileMessageSource& operator=(const FileMessageSource&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    std::int64_t Size() const override { return size_; }
    bool Next(std::string& chunk) override;
    bool Failed() const override { return failed_; }
    bool Rewind() override;
    std::string ErrorText() const override { return errorText_; }

private:
    // Records `err` (an errno value), after `prefix`, as the reason reading failed.
    void Fail(const std::string& prefix, int err);

    int fd_ = -1;
    std::int64_t size_ = 0;
    bool failed_ = false;
    std::string errorText_;
};

// A message held in memory (failure notices, tests).
class StringMessageSource : public MessageSource {
public:
    explicit StringMessageSource(std::string text) : text_(std::move(text)) {}
    std::int64_t Size() const override { return static_cast<std::int64_t>(text_.size()); }
    bool Next(std::string& chunk) override;
    bool Failed() const override { return false; }
    bool Rewind() override;

private:
    std::string text_;
    std::size_t handedOut_ = 0;
};

} // namespace lumenpost
