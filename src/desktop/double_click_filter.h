#pragma once

#include <QEvent>
#include <QObject>
#include <functional>
#include <utility>

namespace lumenpost {

// Runs an action when the watched widget is double-clicked, for widgets that have no
// signal of their own for it. Owned by the watched widget.
class DoubleClickFilter : public QObject {
public:
    DoubleClickFilter(QObject* watched, std::function<void()> onDoubleClick)
        : QObject(watched), onDoubleClick_(std::move(onDoubleClick)) {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonDblClick && watched == parent()) {
            onDoubleClick_();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> onDoubleClick_;
};

} // namespace lumenpost
