#include "net_events/custom_line_socket.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace lumenpost {

namespace {

constexpr char kBackspace = 8;
constexpr char kTab = 9;
constexpr std::int32_t kTabWidth = 8;

} // namespace

void TCustomLineSocket::SetLineMode(bool value) {
    if (value == mLineMode) {
        return;
    }
    mLineMode = value;
    if (!value && mOfferedSize > 0) {
        // The unread rest of the offered line is plain data from now on.
        MoveBytes(mLineLength, mOfferedSize);
        mOfferedSize = 0;
        mLineLength = 0;
    }
    if (mRcvdCnt > 0 || mLineLength > 0) {
        PostNotice({TNoticeKind::LineRedelivery, Connection(), 0, 0, nullptr});
    }
}

void TCustomLineSocket::Unread(std::string_view bytes) {
    const auto count = static_cast<std::int32_t>(bytes.size());
    const auto needed = static_cast<std::size_t>(mRcvdCnt) + bytes.size() + 1;
    if (mRcvBuf.size() < needed) {
        mRcvBuf.resize(needed);
    }
    std::memmove(mRcvBuf.data() + count, mRcvBuf.data(), static_cast<std::size_t>(mRcvdCnt));
    std::memcpy(mRcvBuf.data(), bytes.data(), bytes.size());
    mRcvdCnt += count;
}

std::int32_t TCustomLineSocket::RcvdCount() {
    return mLineMode ? mLineLength : TCustomSocksSocket::RcvdCount();
}

void TCustomLineSocket::Dispatch(const TNotice& notice) {
    if (notice.Kind == TNoticeKind::LineRedelivery) {
        RedeliverBuffered();
        return;
    }
    TCustomSocksSocket::Dispatch(notice);
}

bool TCustomLineSocket::SignalDataAvailable(std::uint16_t error) {
    if (!mLineMode || mLineEnd.empty()) {
        return TCustomSocksSocket::SignalDataAvailable(error);
    }
    std::int32_t n = TCustomSocksSocket::RcvdCount();
    if (n < 0) {
        return true;
    }
    if (n == 0) {
        n = 255;
    }
    const auto needed = static_cast<std::size_t>(mRcvdCnt) + static_cast<std::size_t>(n) + 1;
    if (mRcvBuf.size() < needed) {
        mRcvBuf.resize(needed);
    }
    std::int32_t r = ReceiveBytes(mRcvBuf.data() + mRcvdCnt, n);
    if (r <= 0) {
        return true;
    }
    if (mLineEdit) {
        EditReceived(r);
    } else if (mLineEcho) {
        const std::string copy(mRcvBuf.data() + mRcvdCnt, static_cast<std::size_t>(r));
        Send(copy.data(), r);
    }
    if (Released()) {
        return true; // the echo found the connection gone
    }
    const auto lineEnd = static_cast<std::int32_t>(mLineEnd.size());
    const std::int32_t scanStart = mRescan ? 0 : std::max(0, mRcvdCnt - lineEnd);
    mRescan = false;
    mRcvdCnt += r;
    if (DeliverLines(scanStart, error)) {
        ApplyLineLimit();
    }
    return true;
}

// Offers every complete line from `scanStart` on; false when line mode was
// switched off or the connection ended on the way.
bool TCustomLineSocket::DeliverLines(std::int32_t scanStart, std::uint16_t error) {
    const auto lineEnd = static_cast<std::int32_t>(mLineEnd.size());
    while (mLineMode) {
        const auto begin = mRcvBuf.begin() + scanStart;
        const auto end = mRcvBuf.begin() + mRcvdCnt;
        const auto found = std::search(begin, end, mLineEnd.begin(), mLineEnd.end());
        if (found == end) {
            return true;
        }
        OfferLine(static_cast<std::int32_t>(found - mRcvBuf.begin()) + lineEnd, error);
        if (Released()) {
            return false;
        }
        scanStart = 0;
    }
    return false;
}

void TCustomLineSocket::OfferLine(std::int32_t lineSize, std::uint16_t error) {
    mLineLength = lineSize;
    mOfferedSize = lineSize;
    try {
        while (mLineMode && mLineLength > 0) {
            if (!TCustomSocksSocket::SignalDataAvailable(error)) {
                mLineLength = 0;
            }
        }
    } catch (...) {
        // The failing handler's line is dropped; lines behind it stay buffered.
        DropOfferedLine();
        mRescan = true;
        throw;
    }
    DropOfferedLine();
}

// Removes what is left of the offered line. A line read to its end is gone
// already, and one whose rest became plain data when line mode was switched
// off is kept by the setter.
void TCustomLineSocket::DropOfferedLine() {
    if (mOfferedSize > 0 && !Released()) {
        MoveBytes(0, mOfferedSize);
    }
    mOfferedSize = 0;
    mLineLength = 0;
}

// Moves the bytes from `from` to the end of the buffered ones down to `to`.
void TCustomLineSocket::MoveBytes(std::int32_t to, std::int32_t from) {
    const std::int32_t tail = mRcvdCnt - from;
    if (tail > 0) {
        std::memmove(mRcvBuf.data() + to, mRcvBuf.data() + from, static_cast<std::size_t>(tail));
    }
    mRcvdCnt = to + std::max(tail, 0);
}

void TCustomLineSocket::ApplyLineLimit() {
    if (mLineLimit <= 0 || mRcvdCnt <= mLineLimit) {
        return;
    }
    bool clearData = true;
    mClearingData = true;
    try {
        SignalLineLimitExceeded(mRcvdCnt, clearData);
    } catch (...) {
        mClearingData = false;
        throw;
    }
    mClearingData = false;
    if (clearData) {
        mLineLength = 0;
        mRcvdCnt = 0;
    }
}

void TCustomLineSocket::SignalLineLimitExceeded(std::int32_t rcvdLength, bool& clearData) {
    if (OnLineLimitExceeded) {
        OnLineLimitExceeded(*this, rcvdLength, clearData);
    }
}

std::int32_t TCustomLineSocket::RecvRaw(void* buffer, std::int32_t size, int flags) {
    const std::int32_t wanted = std::max(size, 0);
    if (mLineMode && mLineLength > 0) {
        const std::int32_t count = std::min(wanted, mLineLength);
        std::memcpy(buffer, mRcvBuf.data(), static_cast<std::size_t>(count));
        if (count == mLineLength) {
            // Read to its end: later reads in the same handler see what follows.
            mLineLength = 0;
            if (mOfferedSize > 0) {
                MoveBytes(0, mOfferedSize);
                mOfferedSize = 0;
            }
        } else {
            // Only the unread rest of the line moves; bytes behind it stay put.
            std::memmove(mRcvBuf.data(), mRcvBuf.data() + count,
                         static_cast<std::size_t>(mLineLength - count));
            mLineLength -= count;
        }
        return count;
    }
    if (!mLineMode && mRcvdCnt > 0) {
        const std::int32_t count = std::min(wanted, mRcvdCnt);
        std::memcpy(buffer, mRcvBuf.data(), static_cast<std::size_t>(count));
        MoveBytes(0, count);
        return count;
    }
    return TCustomSocksSocket::RecvRaw(buffer, size, flags);
}

// Delivers what is buffered in the current mode, before newer network data.
// Every round must consume bytes, so a handler that reads nothing, or an
// incomplete last line, ends the pass.
void TCustomLineSocket::RedeliverBuffered() {
    while (mRcvdCnt > 0) {
        const std::int32_t before = mRcvdCnt;
        if (mLineMode && !mLineEnd.empty()) {
            if (DeliverLines(0, 0)) {
                ApplyLineLimit();
            }
        } else {
            TCustomSocksSocket::SignalDataAvailable(0);
        }
        if (mRcvdCnt >= before) {
            return;
        }
    }
}

void TCustomLineSocket::SignalSessionClosed(std::uint16_t error) {
    if (mClosing) {
        return; // a failed send inside the final line's handler
    }
    mClosing = true;
    std::exception_ptr failure;
    try {
        if (mOfferedSize > 0) {
            MoveBytes(0, std::min(mOfferedSize, mRcvdCnt));
            mOfferedSize = 0;
        }
        if (mLineMode && mRcvdCnt > 0 && !mClearingData) {
            OfferFinalLine();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    ReleaseBuffer();
    mClosing = false;
    TCustomSocksSocket::SignalSessionClosed(error);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

// Offers what is buffered at the close: in line mode as one final line without
// terminator. A handler that reads part of it and switches line mode off gets the
// unread rest as plain data instead of losing it; a round that consumes nothing
// ends the offer.
void TCustomLineSocket::OfferFinalLine() {
    while (mRcvdCnt > 0) {
        const std::int32_t before = mRcvdCnt;
        if (mLineMode) {
            OfferWholeBuffer();
        } else {
            TCustomSocksSocket::SignalDataAvailable(0);
        }
        if (mRcvdCnt >= before) {
            return;
        }
    }
}

void TCustomLineSocket::OfferWholeBuffer() {
    mLineLength = mRcvdCnt;
    mOfferedSize = mRcvdCnt;
    while (mLineMode && mLineLength > 0) {
        if (!TCustomSocksSocket::SignalDataAvailable(0)) {
            mLineLength = 0;
        }
    }
    DropOfferedLine();
}

void TCustomLineSocket::ReleaseBuffer() {
    mRcvBuf.clear();
    mRcvBuf.shrink_to_fit();
    mRcvdCnt = 0;
    mLineLength = 0;
    mRescan = false;
}

// Applies backspace and tab to the `count` new bytes; from the first of them on
// the result is rebuilt, and the scan restarts before the first changed byte.
void TCustomLineSocket::EditReceived(std::int32_t& count) {
    const std::int32_t start = mRcvdCnt;
    std::int32_t c = start;
    std::int32_t lowest = start;
    std::vector<char> work;
    bool edited = false;
    const auto put = [&](char byte) {
        if (edited) {
            work.resize(std::max(work.size(), static_cast<std::size_t>(c) + 1));
            work[static_cast<std::size_t>(c)] = byte;
        }
        ++c;
    };
    const auto echo = [&](const char* bytes, std::int32_t n) {
        if (mLineEcho) {
            Send(bytes, n);
        }
        return !Released();
    };
    const std::string incoming(mRcvBuf.data() + start, static_cast<std::size_t>(count));
    for (const char byte : incoming) {
        if (!edited && (byte == kBackspace || byte == kTab)) {
            edited = true;
            work.assign(mRcvBuf.begin(), mRcvBuf.begin() + c);
        }
        bool connected = true;
        if (byte == kBackspace) {
            connected = c > 0 ? echo("\b \b", 3) : true;
            if (c > 0) {
                --c;
                lowest = std::min(lowest, c);
            }
        } else if (byte == kTab) {
            do {
                put(' ');
                connected = echo(" ", 1) && connected;
            } while (c % kTabWidth != 0);
        } else {
            connected = echo(&byte, 1);
            put(byte);
        }
        if (!connected) {
            count = 0;
            return;
        }
    }
    if (!edited) {
        return;
    }
    if (mRcvBuf.size() < static_cast<std::size_t>(c) + 1) {
        mRcvBuf.resize(static_cast<std::size_t>(c) + 1);
    }
    std::copy(work.begin(), work.begin() + c, mRcvBuf.begin());
    mRcvdCnt = lowest;
    count = c - lowest;
}

} // namespace lumenpost
