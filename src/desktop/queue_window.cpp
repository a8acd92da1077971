#include "desktop/queue_window.h"
#include "desktop/message_view.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

namespace lumenpost {

QueueWindowEnvironment QueueWindowEnvironment::Desktop() {
    return {[](QWidget* parent, const QString& question) {
                return QMessageBox::question(parent, parent->windowTitle(), question,
                                             QMessageBox::Yes | QMessageBox::No,
                                             QMessageBox::No) == QMessageBox::Yes;
            },
            [](QWidget* parent, const QString& text) {
                QMessageBox::warning(parent, parent->windowTitle(), text);
            }};
}

QueueWindow::QueueWindow(RelayQueue& queue, QueueWindowEnvironment environment)
    : queue_(queue), environment_(std::move(environment)), model_(queue) {
    setObjectName(QStringLiteral("QueueWindow"));
    setWindowTitle(tr("邮件队列"));
    sorted_.setSourceModel(&model_);
    sorted_.setSortRole(QueueTableModel::kSortRole);
    BuildActions();
    BuildLayout();
    UpdateActions();
    resize(920, 420);
}

void QueueWindow::BuildActions() {
    retry_ = AddAction("RetryNow", tr("立即重试"), &QueueWindow::RetryNow);
    resend_ = AddAction("SendAgain", tr("重新发送"), &QueueWindow::SendAgain);
    delete_ = AddAction("DeleteMessage", tr("删除"), &QueueWindow::DeleteMessage);
    show_ = AddAction("ViewMessage", tr("查看邮件"), &QueueWindow::ViewMessage);
}

QAction* QueueWindow::AddAction(const char* name, const QString& text,
                                void (QueueWindow::*handler)()) {
    auto* action = new QAction(text, this); // owned by the window
    action->setObjectName(QLatin1String(name));
    connect(action, &QAction::triggered, this, handler);
    addAction(action);
    return action;
}

void QueueWindow::BuildLayout() {
    view_ = new QTableView(this); // owned by the window
    view_->setModel(&sorted_);
    view_->setSortingEnabled(true);
    view_->sortByColumn(QueueTableModel::kArrival, Qt::AscendingOrder);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->verticalHeader()->hide();
    // Times and addresses whole at first sight; the reason takes the rest.
    view_->resizeColumnsToContents();
    view_->horizontalHeader()->setSectionResizeMode(QueueTableModel::kReason, QHeaderView::Stretch);
    // The same actions as the buttons, on a right click.
    view_->setContextMenuPolicy(Qt::ActionsContextMenu);
    view_->addActions(actions());
    connect(view_, &QAbstractItemView::doubleClicked, this, &QueueWindow::ViewMessage);
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &QueueWindow::UpdateActions);
    // A row's state changes under the selection as outcomes arrive.
    connect(&sorted_, &QAbstractItemModel::dataChanged, this, &QueueWindow::UpdateActions);
    connect(&sorted_, &QAbstractItemModel::rowsRemoved, this, &QueueWindow::UpdateActions);

    auto* buttons = new QHBoxLayout;
    for (QAction* action : actions()) {
        auto* button = new QToolButton(this); // owned by the window
        button->setDefaultAction(action);
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
        buttons->addWidget(button);
    }
    buttons->addStretch();
    auto* settings = new QPushButton(tr("高级设置..."), this); // owned by the window
    settings->setObjectName(QStringLiteral("OpenSettings"));
    connect(settings, &QPushButton::clicked, this, &QueueWindow::settingsRequested);
    buttons->addWidget(settings);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_);
    layout->addLayout(buttons);
}

void QueueWindow::UpdateActions() {
    const std::optional<QueueRow> row = Selected();
    retry_->setEnabled(row && row->place == QueuePlace::active &&
                       row->state == RecipientState::deferred);
    resend_->setEnabled(row && row->place == QueuePlace::failed);
    delete_->setEnabled(row.has_value());
    show_->setEnabled(row.has_value());
}

std::optional<QueueRow> QueueWindow::Selected() const {
    const QModelIndexList rows = view_->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return std::nullopt;
    }
    return model_.RowAt(sorted_.mapToSource(rows.first()).row());
}

bool QueueWindow::SelectRecipient(const QString& id, const QString& recipient) {
    const int row = model_.RowOf(id, recipient);
    if (row < 0) {
        view_->clearSelection();
        return false;
    }
    const QModelIndex at = sorted_.mapFromSource(model_.index(row, 0));
    view_->selectRow(at.row());
    view_->scrollTo(at);
    return true;
}

bool QueueWindow::RunCommand(const char* verb, const QString& id) {
    const QueueCommandReply reply = queue_.Command(std::string(verb) + ' ' + id.toStdString());
    if (!reply.ok) {
        environment_.ShowError(
            this, tr("邮件队列操作没有完成：%1").arg(QString::fromStdString(reply.text).trimmed()));
    }
    return reply.ok;
}

void QueueWindow::RetryNow() {
    if (const std::optional<QueueRow> row = Selected()) {
        RunCommand(kQueueRetry, row->id);
    }
}

void QueueWindow::SendAgain() {
    if (const std::optional<QueueRow> row = Selected()) {
        RunCommand(kQueueResend, row->id);
    }
}

void QueueWindow::DeleteMessage() {
    const std::optional<QueueRow> row = Selected();
    if (!row ||
        !environment_.Confirm(
            this, tr("删除邮件 %1（发件人 %2）？\n它的所有收件人都"
                     "不会再投递，删除后无法恢复。")
                      .arg(row->id, row->sender.isEmpty() ? QStringLiteral("<>") : row->sender))) {
        return;
    }
    RunCommand(kQueueDelete, row->id);
}

void QueueWindow::ViewMessage() {
    const std::optional<QueueRow> row = Selected();
    if (!row) {
        return;
    }
    const std::optional<QueuedMessage> message = queue_.Book().Message(row->id.toStdString());
    if (!message) {
        environment_.ShowError(this, tr("邮件 %1 已不在队列中。").arg(row->id));
        return;
    }
    const QString path = QString::fromStdString(
        queue_.Book().Folder().DataPath(message->envelope.id, message->place));
    QString error;
    const std::optional<QString> text =
        MessageView::ReadText(path, MessageView::kShownBytes, error);
    if (!text) {
        environment_.ShowError(
            this, tr("无法读取邮件文件 %1：%2。请检查队列文件夹的权限。").arg(path, error));
        return;
    }
    auto* view = new MessageView(tr("邮件 %1").arg(row->id), *text, this); // deletes itself
    view->show();
}

} // namespace lumenpost
