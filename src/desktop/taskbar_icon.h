#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>

namespace lumenpost {

// The program's icon in the desktop's tray, with a tool tip, a popup menu and click
// events. While Enabled is false every mouse action on the icon is ignored.
class TTaskbarIcon : public QObject {
    Q_OBJECT

public:
    static constexpr int kMaxHintLength = 63;

    explicit TTaskbarIcon(QObject* parent = nullptr);

    void SetIcon(const QIcon& icon);

    bool Visible() const { return visible_; }
    void SetVisible(bool visible);

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);

    // The tool tip, cut to its first 63 characters.
    const QString& Hint() const { return hint_; }
    void SetHint(const QString& hint);

    QMenu* PopupMenu() const { return popupMenu_; }
    void SetPopupMenu(QMenu* menu);

    std::function<void()> OnClick;

    // Where the tray's activations arrive (a left click is Trigger).
    void HandleActivation(QSystemTrayIcon::ActivationReason reason);

    // A notice beside the icon; none while the icon is not shown.
    void ShowBalloon(const QString& title, const QString& text);
    // The text of the last notice shown.
    const QString& BalloonText() const { return balloonText_; }
    // A click on the notice.
    std::function<void()> OnBalloonClick;
    void HandleBalloonClick();

private:
    void AttachMenu();

    QSystemTrayIcon tray_;
    QString hint_;
    QString balloonText_;
    QPointer<QMenu> popupMenu_;
    bool visible_ = false;
    bool enabled_ = true;
};

} // namespace lumenpost
