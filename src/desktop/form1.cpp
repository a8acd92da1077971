#include "desktop/form1.h"
#include "desktop/double_click_filter.h"
#include "desktop/jpeg_image.h"
#include "desktop/window_language.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStyle>
#include <QToolTip>
#include <QUrl>

namespace lumenpost {
namespace {

constexpr auto kFeedbackMail = "mailto:feedback@lumenpost.example.org";
constexpr auto kHomePage = "https://lumenpost.example.org/";

// The logo on a square canvas, for the window and the tray.
QIcon LogoIcon() {
    const QImage logo = LoadPicture(QStringLiteral(":/lumenpost/logo.jpg"));
    if (logo.isNull()) {
        return QIcon();
    }
    const int side = std::max(logo.width(), logo.height());
    QImage square(side, side, QImage::Format_ARGB32_Premultiplied);
    square.fill(Qt::transparent);
    QPainter painter(&square);
    painter.drawImage((side - logo.width()) / 2, (side - logo.height()) / 2, logo);
    painter.end();
    return QIcon(QPixmap::fromImage(square));
}

void SetLog(QPlainTextEdit* log, const QStringList& lines) {
    QStringList shown;
    shown.reserve(lines.size());
    for (const QString& line : lines) {
        shown.append(ShownLine(line));
    }
    log->setPlainText(shown.join(u'\n'));
}

} // namespace

TForm1::TForm1(RelayApp& app, FormEnvironment environment)
    : app_(app), core_(app.Core()), environment_(std::move(environment)) {
    BuildLayout();
    ApplyIcon();
    // The tray icon is added while the window is built, before the start-up steps.
    TaskbarIcon1.SetHint(QString::fromLatin1(kTitle));
    TaskbarIcon1.SetPopupMenu(PopupMenu1);
    TaskbarIcon1.OnClick = [this] { N1Click(); };
    TaskbarIcon1.OnBalloonClick = [this] { ShowQueue(balloonId_, balloonRecipient_); };
    TaskbarIcon1.SetVisible(environment_.trayAvailable);
    new DoubleClickFilter(StatusBar1, [this] { N6Click(); }); // owned by the status bar
    BindCore();
}

void TForm1::ApplyIcon() {
    const QIcon icon = LogoIcon();
    setWindowIcon(icon);
    TaskbarIcon1.SetIcon(icon);
}

void TForm1::FormCreate() {
    if (auto error = app_.SwitchServerOn()) {
        environment_.ShowError(*error);
    }
    // Minimising hides to the tray only where a tray can bring the window back.
    hideOnMinimise_ = environment_.trayAvailable;
    QPalette hints = QToolTip::palette();
    hints.setColor(QPalette::ToolTipBase, QColor(0, 255, 0));
    QToolTip::setPalette(hints);
    app_.LoadState();
}

void TForm1::ShowAfterStart() {
    const QRect desktop = QGuiApplication::primaryScreen()->availableGeometry();
    move(desktop.center() - QPoint(width() / 2, height() / 2));
    if (!core_.Settings().automin) {
        show();
    } else if (hideOnMinimise_) {
        N2Click();
    } else {
        showMinimized();
    }
}

void TForm1::BindCore() {
    connect(&core_, &RelayCore::settingsChanged, this, &TForm1::ShowSettings);
    connect(&core_, &RelayCore::okrelayAdded, okrelay,
            [this](const QString& line) { okrelay->appendPlainText(ShownLine(line)); });
    connect(&core_, &RelayCore::badrelayAdded, badrelay,
            [this](const QString& line) { badrelay->appendPlainText(ShownLine(line)); });
    connect(&core_, &RelayCore::okrelayCleared, okrelay, &QPlainTextEdit::clear);
    connect(&core_, &RelayCore::badrelayCleared, badrelay, &QPlainTextEdit::clear);
    connect(&core_, &RelayCore::statusChanged, StatusBar1,
            [this](const QString& text) { StatusBar1->showMessage(ShownLine(text)); });
    // Where the last message went, and how, without changing the status text itself.
    connect(&core_, &RelayCore::deliveryDetailChanged, StatusBar1, &QWidget::setToolTip);
    connect(&core_, &RelayCore::localAddressChanged, Edit2, &QLineEdit::setText);
    connect(&core_, &RelayCore::recipientFailed, this, &TForm1::NotifyFailure);
    if (RelayPasswordStore* store = app_.PasswordStore()) {
        connect(store, &RelayPasswordStore::written, this, [this](const QString& error) {
            if (!error.isEmpty()) {
                environment_.ShowError(tr("中继密码没有保存：%1").arg(error));
            }
        });
    }

    connect(ComboBox1, &QComboBox::editTextChanged, this, &TForm1::TakeSettings);
    connect(Edit1, &QLineEdit::textChanged, this, &TForm1::TakeSettings);
    for (QCheckBox* box : {CheckBox1, CheckBox2, CheckBox3, CheckBox4}) {
        connect(box, &QCheckBox::toggled, this, &TForm1::TakeSettings);
    }

    ShowSettings();
    SetLog(okrelay, core_.okrelay());
    SetLog(badrelay, core_.badrelay());
    StatusBar1->showMessage(ShownLine(core_.Status()));
    Edit2->setText(core_.LocalAddress());
}

void TForm1::ShowSettings() {
    const RelaySettings& settings = core_.Settings();
    // The controls' own change signals would feed half-updated values back.
    const QSignalBlocker blockDns(ComboBox1), blockMailbox(Edit1), blockRun(CheckBox1),
        blockMin(CheckBox2), blockBeep(CheckBox3), blockBack(CheckBox4);
    ComboBox1->setEditText(settings.dns);
    Edit1->setText(settings.postmaster);
    CheckBox1->setChecked(settings.autorun);
    CheckBox2->setChecked(settings.automin);
    CheckBox3->setChecked(settings.autobeep);
    CheckBox4->setChecked(settings.autoback);
}

void TForm1::TakeSettings() {
    // The window edits six settings; the others stay as they are.
    RelaySettings settings = core_.Settings();
    settings.dns = ComboBox1->currentText();
    settings.postmaster = Edit1->text();
    settings.autorun = CheckBox1->isChecked();
    settings.automin = CheckBox2->isChecked();
    settings.autobeep = CheckBox3->isChecked();
    settings.autoback = CheckBox4->isChecked();
    core_.SetSettings(settings);
}

void TForm1::N1Click() {
    N2->setEnabled(true);
    N1->setEnabled(false);
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TForm1::N2Click() {
    N2->setEnabled(false);
    N1->setEnabled(true);
    hide();
}

void TForm1::N3Click() {
    environment_.OpenUrl(QUrl(QLatin1String(kFeedbackMail)));
}

void TForm1::N4Click() {
    environment_.OpenUrl(QUrl(QLatin1String(kHomePage)));
}

void TForm1::N5Click() {
    close();
}

void TForm1::N6Click() {
    ShowQueue();
}

void TForm1::N7Click() {
    ShowAdvancedSettings();
}

SettingsDialog& TForm1::ShowAdvancedSettings() {
    if (!settingsDialog_) {
        SettingsDialog::SavePassword save;
        if (app_.PasswordStore() != nullptr) {
            save = [this](const QString& password) { SavePassword(password); };
        }
        settingsDialog_ = new SettingsDialog(
            core_.Settings(), [this](const RelaySettings& s) { return app_.ApplySettingsNow(s); },
            std::move(save));
        settingsDialog_->setAttribute(Qt::WA_DeleteOnClose);
        settingsDialog_->setWindowIcon(windowIcon());
    }
    settingsDialog_->show();
    settingsDialog_->raise();
    settingsDialog_->activateWindow();
    return *settingsDialog_;
}

void TForm1::SavePassword(const QString& password) {
    const RelaySettings& settings = core_.Settings();
    app_.PasswordStore()->Write(settings.relayuser.trimmed(), settings.relayhost.trimmed(),
                                password);
}

QueueWindow& TForm1::ShowQueue(const QString& id, const QString& recipient) {
    if (!queueWindow_) {
        queueWindow_ = std::make_unique<QueueWindow>(app_.Queue());
        queueWindow_->setWindowIcon(windowIcon());
        connect(queueWindow_.get(), &QueueWindow::settingsRequested, this, &TForm1::N7Click);
    }
    if (!id.isEmpty()) {
        queueWindow_->SelectRecipient(id, recipient);
    }
    queueWindow_->setWindowState(queueWindow_->windowState() & ~Qt::WindowMinimized);
    queueWindow_->show();
    queueWindow_->raise();
    queueWindow_->activateWindow();
    return *queueWindow_;
}

// Shown whether or not the alert sounds: the tone may be off, or nobody near to hear it.
void TForm1::NotifyFailure(const QString& id, const QString& recipient, const QString& reason) {
    if (!TaskbarIcon1.Visible()) {
        return;
    }
    balloonId_ = id;
    balloonRecipient_ = recipient;
    TaskbarIcon1.ShowBalloon(tr("邮件转发失败"),
                             tr("发给 %1 的邮件无法送达：%2").arg(recipient, reason));
}

// FormClose: the window closes only once the settings and the autostart entry are
// written; otherwise the error is shown and the window stays.
void TForm1::closeEvent(QCloseEvent* event) {
    if (auto error = app_.Close()) {
        environment_.ShowError(*error);
        event->ignore();
        return;
    }
    event->accept();
    TaskbarIcon1.SetVisible(false);
    emit closed();
}

void TForm1::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && hideOnMinimise_ && isMinimized()) {
        // Hiding inside the state change confuses some window managers: do it next.
        QMetaObject::invokeMethod(this, &TForm1::N2Click, Qt::QueuedConnection);
    }
}

} // namespace lumenpost
