#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace lumenpost {

// One fixed-size block of a socket's send queue. Bytes are appended at WritePos
// and consumed from ReadPos; room freed by consumption is reused only once the
// block has been emptied completely.
class TBuffer {
public:
    static constexpr std::int32_t kDefaultSize = 1514;

    explicit TBuffer(std::int32_t size);

    std::int32_t Capacity() const { return mCapacity; }
    std::int32_t WritePos() const { return mWritePos; }
    std::int32_t ReadPos() const { return mReadPos; }

    // Copies as much as fits and returns that count.
    std::int32_t Append(const char* data, std::int32_t len);
    // The unread bytes; empty when everything has been consumed.
    std::span<const char> PeekData() const;
    // Marks up to `n` unread bytes as consumed and returns that count.
    std::int32_t Consume(std::int32_t n);
    void Resize(std::int32_t size);

private:
    std::unique_ptr<char[]> mData;
    std::int32_t mCapacity;
    std::int32_t mWritePos = 0;
    std::int32_t mReadPos = 0;
};

} // namespace lumenpost
