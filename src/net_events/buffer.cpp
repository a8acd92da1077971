#include "net_events/buffer.h"

#include <algorithm>
#include <cstring>

namespace lumenpost {

namespace {

std::int32_t EffectiveSize(std::int32_t size) {
    return size <= 0 ? TBuffer::kDefaultSize : size;
}

} // namespace

TBuffer::TBuffer(std::int32_t size)
    : mData(std::make_unique<char[]>(static_cast<std::size_t>(EffectiveSize(size)))),
      mCapacity(EffectiveSize(size)) {}

std::int32_t TBuffer::Append(const char* data, std::int32_t len) {
    const std::int32_t count = std::clamp(len, 0, mCapacity - mWritePos);
    if (count > 0) {
        std::memcpy(mData.get() + mWritePos, data, static_cast<std::size_t>(count));
        mWritePos += count;
    }
    return count;
}

std::span<const char> TBuffer::PeekData() const {
    if (mWritePos == mReadPos) {
        return {};
    }
    return {mData.get() + mReadPos, static_cast<std::size_t>(mWritePos - mReadPos)};
}

std::int32_t TBuffer::Consume(std::int32_t n) {
    const std::int32_t count = std::clamp(n, 0, mWritePos - mReadPos);
    mReadPos += count;
    if (mReadPos == mWritePos) {
        mReadPos = 0;
        mWritePos = 0;
    }
    return count;
}

void TBuffer::Resize(std::int32_t size) {
    const std::int32_t capacity = EffectiveSize(size);
    if (capacity == mCapacity) {
        return;
    }
    auto storage = std::make_unique<char[]>(static_cast<std::size_t>(capacity));
    const std::int32_t kept = std::min(mWritePos, capacity);
    if (kept > 0) {
        std::memcpy(storage.get(), mData.get(), static_cast<std::size_t>(kept));
    }
    mData = std::move(storage);
    mCapacity = capacity;
    mWritePos = kept;
    mReadPos = std::min(mReadPos, kept);
}

} // namespace lumenpost
