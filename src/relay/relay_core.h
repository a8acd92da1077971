#pragma once

#include "relay/ipv4_network.h"
#include "relay/relay_settings.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <vector>

namespace lumenpost {

// The relay's state without any widget: the six settings, the two logs (okrelay,
// badrelay), the status text, the counters, the local address shown to the user and
// the networks allowed to relay. The window shows and edits it; the headless mode
// prints it. Every member is used on the UI thread only; work done elsewhere posts
// its results there first.
class RelayCore : public QObject {
    Q_OBJECT

public:
    explicit RelayCore(QObject* parent = nullptr);

    const RelaySettings& Settings() const { return settings_; }
    // Emits settingsChanged() only when something differs.
    void SetSettings(const RelaySettings& settings);

    const QStringList& okrelay() const { return okrelay_; }
    const QStringList& badrelay() const { return badrelay_; }
    // Counts one relayed (failed) message and logs "<count>:<text>", the count
    // being RelayedCount (FailedCount) after the increment. Returns the logged line.
    QString AddRelayed(const QString& text);
    // A failure also tells why (reasonAdded, right after badrelayAdded).
    QString AddFailed(const QString& text, const QString& reason = {});
    // A recipient of queued message `id` failed for good (after its failure line), so that
    // the desktop can tell the user even while the window is hidden.
    void ReportRecipientFailed(const QString& id, const QString& recipient, const QString& reason);
    // A recipient that will be tried again: "From:.../To:.../Retry:.../Reason:...".
    void AddDeferred(const QString& text);
    // Something went wrong that the user should know (the queue could not be written).
    void ReportError(const QString& text);
    // Empty one log; its counter keeps running.
    void ClearRelayed();
    void ClearFailed();

    qint32 RelayedCount() const { return relayedCount_; }
    qint32 FailedCount() const { return failedCount_; }

    const QString& Status() const { return status_; }
    void SetStatus(const QString& text);
    // Where the last relayed or failed message went and whether it was encrypted
    // ("mx.example [192.0.2.7]:25, TLSv1.3 TLS_AES_256_GCM_SHA384"), shown beside the log.
    const QString& DeliveryDetail() const { return deliveryDetail_; }
    void SetDeliveryDetail(const QString& text);

    // The address the user should give the mail client (shown in Edit2).
    const QString& LocalAddress() const { return localAddress_; }
    void SetLocalAddress(const QString& address);

    // Networks given with --allow-from, besides loopback and this machine's own.
    const std::vector<Ipv4Network>& AllowFrom() const { return allowFrom_; }
    void SetAllowFrom(std::vector<Ipv4Network> networks) { allowFrom_ = std::move(networks); }

signals:
    void settingsChanged();
    void okrelayAdded(const QString& line);
    void badrelayAdded(const QString& line);
    void reasonAdded(const QString& reason);
    void recipientFailed(const QString& id, const QString& recipient, const QString& reason);
    void deferredAdded(const QString& text);
    void errorReported(const QString& text);
    void okrelayCleared();
    void badrelayCleared();
    void statusChanged(const QString& text);
    void deliveryDetailChanged(const QString& text);
    void localAddressChanged(const QString& address);

private:
    RelaySettings settings_;
    QStringList okrelay_;
    QStringList badrelay_;
    qint32 relayedCount_ = 0;
    qint32 failedCount_ = 0;
    QString status_;
    QString deliveryDetail_;
    QString localAddress_;
    std::vector<Ipv4Network> allowFrom_;
};

} // namespace lumenpost
