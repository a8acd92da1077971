#pragma once

#include "net_events/socket_types.h"

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>

namespace lumenpost {

// What a notification endpoint reports to its socket.
class TNoticeReceiver {
public:
    virtual void ReceiveNotice(const TNotice& notice) = 0;
    virtual void HandleReadable() = 0;
    virtual void HandleWritable() = 0;

protected:
    ~TNoticeReceiver() = default;
};

// Lives on the socket's thread: watches the socket's handle with one read and
// one write notifier and receives the socket's deferred notices. Notices still
// queued when it is destroyed die with it.
class TNotificationEndpoint : public QObject {
    Q_OBJECT
public:
    explicit TNotificationEndpoint(TNoticeReceiver& receiver);
    ~TNotificationEndpoint() override;

    void Post(const TNotice& notice);
    void Watch(TSocketHandle handle);
    void Unwatch();
    void SetReadEnabled(bool enabled);
    void SetWriteEnabled(bool enabled);

protected:
    bool event(QEvent* event) override;

private:
    void Retire(QPointer<QSocketNotifier>& notifier);

    TNoticeReceiver& mReceiver;
    QPointer<QSocketNotifier> mReadNotifier;
    QPointer<QSocketNotifier> mWriteNotifier;
};

} // namespace lumenpost
