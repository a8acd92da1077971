#pragma once

#include "net_events/custom_socks_socket.h"

#include <vector>

namespace lumenpost {

using TLineLimitEvent =
    std::function<void(TCustomAsyncSocket& Sender, std::int32_t RcvdLength, bool& ClearData)>;

// Turns the received byte stream into lines: with LineMode on, OnDataAvailable
// fires once per complete line (ended by LineEnd) and ReceiveText returns
// exactly that line. Switching the mode re-delivers buffered bytes in the new
// mode before any newer network data.
class TCustomLineSocket : public TCustomSocksSocket {
public:
    static constexpr std::int32_t kDefaultLineLimit = 65536;

    bool LineMode() const { return mLineMode; }
    virtual void SetLineMode(bool value);
    const std::string& LineEnd() const { return mLineEnd; }
    void SetLineEnd(const std::string& value) { mLineEnd = value; }
    std::int32_t LineLimit() const { return mLineLimit; }
    void SetLineLimit(std::int32_t value) { mLineLimit = value; }
    bool LineEcho() const { return mLineEcho; }
    void SetLineEcho(bool value) { mLineEcho = value; }
    bool LineEdit() const { return mLineEdit; }
    void SetLineEdit(bool value) { mLineEdit = value; }

    std::int32_t RcvdCount() override;
    // Puts bytes back in front of the buffered ones, outside line mode (a reader that took
    // more than it wanted); they come again with the next read or mode switch.
    void Unread(std::string_view bytes);

    TLineLimitEvent OnLineLimitExceeded;

protected:
    void Dispatch(const TNotice& notice) override;
    bool SignalDataAvailable(std::uint16_t error) override;
    void SignalSessionClosed(std::uint16_t error) override;
    std::int32_t RecvRaw(void* buffer, std::int32_t size, int flags) override;
    virtual void SignalLineLimitExceeded(std::int32_t rcvdLength, bool& clearData);
    virtual void EditReceived(std::int32_t& count);

private:
    bool DeliverLines(std::int32_t scanStart, std::uint16_t error);
    void OfferLine(std::int32_t lineSize, std::uint16_t error);
    void DropOfferedLine();
    void OfferFinalLine();
    void OfferWholeBuffer();
    void ApplyLineLimit();
    void RedeliverBuffered();
    void MoveBytes(std::int32_t to, std::int32_t from);
    void ReleaseBuffer();
    bool Released() const { return mRcvBuf.empty(); }

    std::vector<char> mRcvBuf;
    std::int32_t mRcvdCnt = 0;
    std::int32_t mLineLength = 0;
    std::string mLineEnd = "\r\n";
    bool mLineMode = false;
    std::int32_t mLineLimit = kDefaultLineLimit;
    bool mLineEcho = false;
    bool mLineEdit = false;
    bool mClearingData = false;
    // Size of the line being offered, so that a close from inside its handler
    // does not offer it a second time.
    std::int32_t mOfferedSize = 0;
    // A handler failure may leave complete lines behind: scan from the front.
    bool mRescan = false;
    bool mClosing = false;
};

} // namespace lumenpost
