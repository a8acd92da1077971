#pragma once

#include "desktop/queue_table_model.h"

#include <QSortFilterProxyModel>
#include <QWidget>
#include <functional>
#include <optional>

class QAction;
class QTableView;

namespace lumenpost {

// What the queue window asks of the desktop; tests replace these.
struct QueueWindowEnvironment {
    // A yes/no question; true for yes.
    std::function<bool(QWidget* parent, const QString& question)> Confirm;
    std::function<void(QWidget* parent, const QString& text)> ShowError;

    // Message boxes.
    static QueueWindowEnvironment Desktop();
};

// The mail queue: every queued or failed recipient with its state, updated as outcomes
// arrive, and the actions on the selected row's message. Every action is a queue command,
// so the relay's queue stays the only writer of the folder.
class QueueWindow : public QWidget {
    Q_OBJECT

public:
    explicit QueueWindow(RelayQueue& queue,
                         QueueWindowEnvironment environment = QueueWindowEnvironment::Desktop());

    // Selects that recipient's row; false when the queue no longer lists it.
    bool SelectRecipient(const QString& id, const QString& recipient);
    // The selected row, in the model's numbering.
    std::optional<QueueRow> Selected() const;

    // The actions on the selected row's message: its deferred recipients are tried now;
    // its failed recipients are queued again; it is removed (after a confirmation); its
    // text is shown.
    void RetryNow();
    void SendAgain();
    void DeleteMessage();
    void ViewMessage();

    QTableView* View() const { return view_; }
    QAbstractItemModel* Rows() { return &sorted_; }

signals:
    // The "高级设置..." button: the owner brings up the settings dialog.
    void settingsRequested();

private:
    void BuildActions();
    void BuildLayout();
    QAction* AddAction(const char* name, const QString& text, void (QueueWindow::*handler)());
    void UpdateActions();
    // Runs "<verb> <id>"; an error reply is shown. True when it did what was asked.
    bool RunCommand(const char* verb, const QString& id);

    RelayQueue& queue_;
    QueueWindowEnvironment environment_;
    QueueTableModel model_;
    QSortFilterProxyModel sorted_;
    QTableView* view_ = nullptr;
    QAction* retry_ = nullptr;
    QAction* resend_ = nullptr;
    QAction* delete_ = nullptr;
    QAction* show_ = nullptr;
};

} // namespace lumenpost
