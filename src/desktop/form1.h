#pragma once

#include "app/relay_app.h"
#include "desktop/hyper_link.h"
#include "desktop/queue_window.h"
#include "desktop/settings_dialog.h"
#include "desktop/taskbar_icon.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

class QAction;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QStatusBar;

namespace lumenpost {

// What the window needs from the desktop; tests replace these.
struct FormEnvironment {
    bool trayAvailable = false;
    std::function<void(const QString&)> ShowError; // a message box in the program
    std::function<void(const QUrl&)> OpenUrl = OpenUrlOnDesktop;
};

// The main window: the two logs on the left, the settings on the right, the status line
// below, an icon in the tray with its popup menu. It shows and edits the relay's core.
class TForm1 : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* kTitle = "Lumenpost V1.3";

    TForm1(RelayApp& app, FormEnvironment environment);

    // The start-up steps, in their order; the server is switched on first.
    void FormCreate();
    // Brings the window up after FormCreate: shown, minimised, or (with the "automin"
    // setting and a tray) hidden straight to the tray.
    void ShowAfterStart();

    // Popup menu handlers: show the window, hide it to the tray, write feedback, visit
    // the home page, exit.
    void N1Click();
    void N2Click();
    void N3Click();
    void N4Click();
    void N5Click();
    // The mail queue window (also a double click on the status line).
    void N6Click();
    // The advanced settings dialog (also the queue window's button).
    void N7Click();

    // Brings up the queue window, with that recipient's row selected when it is listed.
    QueueWindow& ShowQueue(const QString& id = {}, const QString& recipient = {});

    // Brings up the advanced settings dialog (one at a time).
    SettingsDialog& ShowAdvancedSettings();

    TTaskbarIcon& Tray() { return TaskbarIcon1; }

signals:
    // The close went through (settings saved): the program should end.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildLayout();
    void BuildLogs();
    void BuildSettingsBox();
    void BuildPicturePanel(QWidget* groupBox);
    void BuildPopupMenu();
    void BindCore();
    void ShowSettings();
    void TakeSettings();
    void ApplyIcon();
    // A balloon at the tray icon for a recipient that failed for good; its click shows the
    // recipient in the queue window.
    void NotifyFailure(const QString& id, const QString& recipient, const QString& reason);
    // Keeps the relay host's password typed in the settings dialog for the account just set.
    void SavePassword(const QString& password);

    RelayApp& app_;
    RelayCore& core_;
    FormEnvironment environment_;
    bool hideOnMinimise_ = false;

    QPlainTextEdit* okrelay = nullptr;
    QPlainTextEdit* badrelay = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    QCheckBox* CheckBox3 = nullptr;
    QCheckBox* CheckBox4 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* N1 = nullptr;
    QAction* N2 = nullptr;
    TTaskbarIcon TaskbarIcon1;
    std::unique_ptr<QueueWindow> queueWindow_; // made when first shown
    QPointer<SettingsDialog> settingsDialog_;  // deletes itself when closed
    QString balloonId_;                        // the recipient of the last balloon
    QString balloonRecipient_;
};

} // namespace lumenpost
