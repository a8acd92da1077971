#include "desktop/taskbar_icon.h"

#include <algorithm>

namespace lumenpost {

TTaskbarIcon::TTaskbarIcon(QObject* parent) : QObject(parent) {
    connect(&tray_, &QSystemTrayIcon::activated, this, &TTaskbarIcon::HandleActivation);
    connect(&tray_, &QSystemTrayIcon::messageClicked, this, &TTaskbarIcon::HandleBalloonClick);
}

void TTaskbarIcon::SetIcon(const QIcon& icon) {
    tray_.setIcon(icon);
}

void TTaskbarIcon::SetVisible(bool visible) {
    if (visible == visible_) {
        return;
    }
    visible_ = visible;
    tray_.setVisible(visible);
}

void TTaskbarIcon::SetEnabled(bool enabled) {
    enabled_ = enabled;
    AttachMenu();
}

void TTaskbarIcon::SetHint(const QString& hint) {
    qsizetype length = std::min<qsizetype>(hint.size(), kMaxHintLength);
    // Never cut a character that takes two UTF-16 units in half.
    if (length > 0 && length < hint.size() && hint[length - 1].isHighSurrogate()) {
        --length;
    }
    hint_ = hint.left(length);
    tray_.setToolTip(hint_);
}

void TTaskbarIcon::SetPopupMenu(QMenu* menu) {
    popupMenu_ = menu;
    AttachMenu();
}

// The tray shows the menu itself on a right click; a disabled icon offers none.
void TTaskbarIcon::AttachMenu() {
    tray_.setContextMenu(enabled_ ? popupMenu_.data() : nullptr);
}

void TTaskbarIcon::HandleActivation(QSystemTrayIcon::ActivationReason reason) {
    // A double click arrives as one Trigger and then DoubleClick, so it clicks once.
    if (enabled_ && reason == QSystemTrayIcon::Trigger && OnClick) {
        OnClick();
    }
}

void TTaskbarIcon::ShowBalloon(const QString& title, const QString& text) {
    if (!visible_) {
        return;
    }
    balloonText_ = text;
    tray_.showMessage(title, text, QSystemTrayIcon::Warning);
}

void TTaskbarIcon::HandleBalloonClick() {
    if (OnBalloonClick) {
        OnBalloonClick();
    }
}

} // namespace lumenpost
