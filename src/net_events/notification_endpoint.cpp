#include "net_events/notification_endpoint.h"

#include <QCoreApplication>
#include <QEvent>

namespace lumenpost {

namespace {

const QEvent::Type kNoticeEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class TNoticeEvent : public QEvent {
public:
    explicit TNoticeEvent(const TNotice& notice) : QEvent(kNoticeEventType), mNotice(notice) {}
    const TNotice& Notice() const { return mNotice; }

private:
    TNotice mNotice;
};

} // namespace

TNotificationEndpoint::TNotificationEndpoint(TNoticeReceiver& receiver) : mReceiver(receiver) {}

TNotificationEndpoint::~TNotificationEndpoint() = default;

void TNotificationEndpoint::Post(const TNotice& notice) {
    // Qt owns a posted event and deletes it once delivered or discarded.
    QCoreApplication::postEvent(this, new TNoticeEvent(notice));
}

void TNotificationEndpoint::Watch(TSocketHandle handle) {
    Unwatch();
    mReadNotifier = new QSocketNotifier(handle, QSocketNotifier::Read, this);
    mWriteNotifier = new QSocketNotifier(handle, QSocketNotifier::Write, this);
    mWriteNotifier->setEnabled(false);
    connect(mReadNotifier, &QSocketNotifier::activated, this,
            [this] { mReceiver.HandleReadable(); });
    connect(mWriteNotifier, &QSocketNotifier::activated, this,
            [this] { mReceiver.HandleWritable(); });
}

void TNotificationEndpoint::Unwatch() {
    Retire(mReadNotifier);
    Retire(mWriteNotifier);
}

// A notifier may be the one whose signal is running right now, so it is only
// switched off here and deleted once control is back in the event loop.
void TNotificationEndpoint::Retire(QPointer<QSocketNotifier>& notifier) {
    if (notifier) {
        notifier->setEnabled(false);
        notifier->disconnect(this);
        notifier->deleteLater();
    }
    notifier = nullptr;
}

void TNotificationEndpoint::SetReadEnabled(bool enabled) {
    if (mReadNotifier && mReadNotifier->isEnabled() != enabled) {
        mReadNotifier->setEnabled(enabled);
    }
}

void TNotificationEndpoint::SetWriteEnabled(bool enabled) {
    if (mWriteNotifier && mWriteNotifier->isEnabled() != enabled) {
        mWriteNotifier->setEnabled(enabled);
    }
}

bool TNotificationEndpoint::event(QEvent* event) {
    if (event->type() == kNoticeEventType) {
        mReceiver.ReceiveNotice(static_cast<TNoticeEvent*>(event)->Notice());
        return true;
    }
    return QObject::event(event);
}

} // namespace lumenpost
