#include "relay_app/taskbar_icon.h"

#include <algorithm>

namespace lumenpost {

TTaskbarIcon::TTaskbarIcon(QObject* parent) : QObject(parent) {
    connect(&tray_, &QSystemTrayIcon::activated, this, &TTaskbarIcon::HandleActivation);
}

void TTaskbarIcon::SetIcon(const QIcon& icon) {
    icon_ = icon;
    tray_.setIcon(icon);
}

void TTaskbarIcon::SetVisible(bool visible) {
    if (visible == visible_) {
        return;
    }
    visible_ = visible;
    tray_.setVisible(visible);
    const auto& event = visible ? OnShow : OnHide;
    if (event) {
        event();
    }
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
    if (!enabled_) {
        return;
    }
    // A double click arrives as one Trigger and then DoubleClick, so it shows the
    // window once and fires no second click.
    if (reason == QSystemTrayIcon::Trigger && OnClick) {
        OnClick();
    } else if (reason == QSystemTrayIcon::DoubleClick && OnDblClick) {
        OnDblClick();
    }
}

} // namespace lumenpost
