#include "desktop/queue_table_model.h"

#include <QDateTime>
#include <algorithm>
#include <limits>

namespace lumenpost {
namespace {

QString TimeText(std::int64_t unixSeconds) {
    return QDateTime::fromSecsSinceEpoch(unixSeconds)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

bool IdBefore(const QueueRow& row, const QString& id) {
    return row.id < id;
}

bool IdAfter(const QString& id, const QueueRow& row) {
    return id < row.id;
}

// When the next attempt comes, for sorting: at once, at its time, or never.
std::int64_t NextAttemptOrder(const QueueRow& row) {
    switch (row.state) {
    case RecipientState::pending:
        return 0;
    case RecipientState::deferred:
        return row.nextAttempt;
    case RecipientState::delivered:
    case RecipientState::failed:
        break;
    }
    return std::numeric_limits<std::int64_t>::max();
}

} // namespace

std::vector<QueueRow> RowsOf(const QueuedMessage& message) {
    const Envelope& envelope = message.envelope;
    std::vector<QueueRow> rows;
    for (std::size_t i = 0; i < envelope.recipients.size(); ++i) {
        const QueuedRecipient& recipient = envelope.recipients[i];
        if (recipient.state == RecipientState::delivered) {
            continue;
        }
        rows.push_back({QString::fromStdString(envelope.id), i, message.place, envelope.arrival,
                        QString::fromStdString(envelope.sender),
                        QString::fromStdString(recipient.address), recipient.state,
                        recipient.attempts, recipient.nextAttempt,
                        QString::fromStdString(recipient.lastReason),
                        QString::fromStdString(recipient.lastTls)});
    }
    return rows;
}

QueueTableModel::QueueTableModel(RelayQueue& queue, QObject* parent)
    : QAbstractTableModel(parent), queue_(queue) {
    Reload();
    connect(&queue_, &RelayQueue::changed, this, &QueueTableModel::Refresh);
}

void QueueTableModel::Reload() {
    beginResetModel();
    rows_.clear();
    for (const QueuedMessage& message : queue_.Book().Messages()) {
        std::vector<QueueRow> rows = RowsOf(message);
        rows_.insert(rows_.end(), std::make_move_iterator(rows.begin()),
                     std::make_move_iterator(rows.end()));
    }
    endResetModel();
}

std::pair<int, int> QueueTableModel::RangeOf(const QString& id) const {
    const auto first = std::lower_bound(rows_.begin(), rows_.end(), id, IdBefore);
    const auto last = std::upper_bound(first, rows_.end(), id, IdAfter);
    return {static_cast<int>(first - rows_.begin()), static_cast<int>(last - rows_.begin())};
}

bool QueueTableModel::SameRecipients(int first, int last,
                                     const std::vector<QueueRow>& fresh) const {
    return std::equal(rows_.begin() + first, rows_.begin() + last, fresh.begin(), fresh.end(),
                      [](const QueueRow& a, const QueueRow& b) { return a.index == b.index; });
}

// Rows that stay are changed in place, so that a selection on them survives the update.
void QueueTableModel::Refresh(const QString& id) {
    const auto [first, last] = RangeOf(id);
    const std::optional<QueuedMessage> message = queue_.Book().Message(id.toStdString());
    std::vector<QueueRow> fresh = message ? RowsOf(*message) : std::vector<QueueRow>();
    if (first < last && SameRecipients(first, last, fresh)) {
        std::move(fresh.begin(), fresh.end(), rows_.begin() + first);
        emit dataChanged(index(first, 0), index(last - 1, kColumnCount - 1));
        return;
    }
    if (first < last) {
        beginRemoveRows({}, first, last - 1);
        rows_.erase(rows_.begin() + first, rows_.begin() + last);
        endRemoveRows();
    }
    if (!fresh.empty()) {
        beginInsertRows({}, first, first + static_cast<int>(fresh.size()) - 1);
        rows_.insert(rows_.begin() + first, std::make_move_iterator(fresh.begin()),
                     std::make_move_iterator(fresh.end()));
        endInsertRows();
    }
}

int QueueTableModel::RowOf(const QString& id, const QString& recipient) const {
    const auto [first, last] = RangeOf(id);
    for (int row = first; row < last; ++row) {
        if (rows_[static_cast<std::size_t>(row)].recipient == recipient) {
            return row;
        }
    }
    return -1;
}

int QueueTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int QueueTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant QueueTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const QueueRow& row = RowAt(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return DisplayText(row, index.column());
    case Qt::ToolTipRole:
        return index.column() == kReason ? QVariant(row.reason) : QVariant();
    case Qt::TextAlignmentRole:
        return index.column() == kAttempts ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                           : QVariant();
    case kSortRole:
        return SortValue(row, index.column());
    default:
        return {};
    }
}

QString QueueTableModel::DisplayText(const QueueRow& row, int column) const {
    switch (column) {
    case kArrival:
        return TimeText(row.arrival);
    case kSender:
        return row.sender.isEmpty() ? QStringLiteral("<>") : row.sender;
    case kRecipient:
        return row.recipient;
    case kState:
        return StateText(row.state);
    case kAttempts:
        return QString::number(row.attempts);
    case kNextAttempt:
        return NextAttemptText(row);
    case kReason:
        return row.reason;
    case kTls:
        return TlsText(row);
    default:
        return {};
    }
}

QVariant QueueTableModel::SortValue(const QueueRow& row, int column) const {
    switch (column) {
    case kArrival:
        return QVariant::fromValue<qint64>(row.arrival);
    case kAttempts:
        return row.attempts;
    case kNextAttempt:
        return QVariant::fromValue<qint64>(NextAttemptOrder(row));
    default:
        return DisplayText(row, column);
    }
}

QString QueueTableModel::StateText(RecipientState state) const {
    switch (state) {
    case RecipientState::pending:
        return tr("等待发送");
    case RecipientState::deferred:
        return tr("稍后重试");
    case RecipientState::delivered:
        return tr("已送达");
    case RecipientState::failed:
        break;
    }
    return tr("发送失败");
}

QString QueueTableModel::NextAttemptText(const QueueRow& row) const {
    const std::int64_t next = NextAttemptOrder(row);
    if (next == std::numeric_limits<std::int64_t>::max()) {
        return {};
    }
    return next == 0 ? tr("立即") : TimeText(next);
}

// A recipient never tried has no encryption to tell about yet.
QString QueueTableModel::TlsText(const QueueRow& row) const {
    if (row.attempts == 0) {
        return {};
    }
    return row.tls.isEmpty() ? tr("未加密") : row.tls;
}

QVariant QueueTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (section) {
    case kArrival:
        return tr("到达时间");
    case kSender:
        return tr("发件人");
    case kRecipient:
        return tr("收件人");
    case kState:
        return tr("状态");
    case kAttempts:
        return tr("尝试次数");
    case kNextAttempt:
        return tr("下次尝试");
    case kReason:
        return tr("原因");
    case kTls:
        return tr("加密");
    default:
        return {};
    }
}

} // namespace lumenpost
