#pragma once

#include "relay/relay_queue.h"

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <utility>
#include <vector>

namespace lumenpost {

// One recipient as the queue window lists it.
struct QueueRow {
    QString id; // queue id of its message
    std::size_t index = 0;
    QueuePlace place = QueuePlace::active;
    std::int64_t arrival = 0;
    QString sender;
    QString recipient;
    RecipientState state = RecipientState::pending;
    int attempts = 0;
    std::int64_t nextAttempt = 0;
    QString reason;
    QString tls; // empty: in clear
};

// The queued and failed recipients of the relay's queue, one row each (delivered
// recipients of a message still queued are left out), in arrival order. It follows the
// queue's changes as they happen; it never writes anything.
class QueueTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { kArrival, kSender, kRecipient, kState, kAttempts, kNextAttempt, kReason, kTls };
    static constexpr int kColumnCount = kTls + 1;
    // Times and counts as numbers, for sorting; every other column sorts by its text.
    static constexpr int kSortRole = Qt::UserRole;

    explicit QueueTableModel(RelayQueue& queue, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    const QueueRow& RowAt(int row) const { return rows_.at(static_cast<std::size_t>(row)); }
    // The row of that recipient of message `id`; -1 when the queue does not list it.
    int RowOf(const QString& id, const QString& recipient) const;

private:
    void Reload();
    void Refresh(const QString& id);
    std::pair<int, int> RangeOf(const QString& id) const; // [first, last)
    bool SameRecipients(int first, int last, const std::vector<QueueRow>& fresh) const;
    QString DisplayText(const QueueRow& row, int column) const;
    QVariant SortValue(const QueueRow& row, int column) const;
    QString StateText(RecipientState state) const;
    QString NextAttemptText(const QueueRow& row) const;
    QString TlsText(const QueueRow& row) const;

    RelayQueue& queue_;
    std::vector<QueueRow> rows_; // by id, then recipient index
};

// The rows a message adds to the list.
std::vector<QueueRow> RowsOf(const QueuedMessage& message);

} // namespace lumenpost
