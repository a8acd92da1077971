#include "relay/relay_core.h"

namespace lumenpost {

namespace {

// Counters wrap like the 32-bit integers they are, instead of overflowing.
qint32 NextCount(qint32 count) {
    return static_cast<qint32>(static_cast<quint32>(count) + 1u);
}

} // namespace

RelayCore::RelayCore(QObject* parent) : QObject(parent) {}

void RelayCore::SetSettings(const RelaySettings& settings) {
    if (settings == settings_) {
        return;
    }
    settings_ = settings;
    emit settingsChanged();
}

QString RelayCore::AddRelayed(const QString& text) {
    const QString line = QString::number(relayedCount_ = NextCount(relayedCount_)) + u':' + text;
    okrelay_.append(line);
    emit okrelayAdded(line);
    return line;
}

QString RelayCore::AddFailed(const QString& text, const QString& reason) {
    const QString line = QString::number(failedCount_ = NextCount(failedCount_)) + u':' + text;
    badrelay_.append(line);
    emit badrelayAdded(line);
    emit reasonAdded(reason);
    return line;
}

void RelayCore::ReportRecipientFailed(const QString& id, const QString& recipient,
                                      const QString& reason) {
    emit recipientFailed(id, recipient, reason);
}

void RelayCore::AddDeferred(const QString& text) {
    emit deferredAdded(text);
}

void RelayCore::ReportError(const QString& text) {
    emit errorReported(text);
}

void RelayCore::ClearRelayed() {
    okrelay_.clear();
    emit okrelayCleared();
}

void RelayCore::ClearFailed() {
    badrelay_.clear();
    emit badrelayCleared();
}

void RelayCore::SetStatus(const QString& text) {
    status_ = text;
    emit statusChanged(text);
}

void RelayCore::SetDeliveryDetail(const QString& text) {
    deliveryDetail_ = text;
    emit deliveryDetailChanged(text);
}

void RelayCore::SetLocalAddress(const QString& address) {
    if (address == localAddress_) {
        return;
    }
    localAddress_ = address;
    emit localAddressChanged(address);
}

} // namespace lumenpost
