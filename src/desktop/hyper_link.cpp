#include "desktop/hyper_link.h"

#include <QDesktopServices>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

namespace lumenpost {

void OpenUrlOnDesktop(const QUrl& url) {
    QDesktopServices::openUrl(url);
}

THyperLink::THyperLink(QWidget* parent)
    : QWidget(parent), color_(palette().color(QPalette::Button)) {
    QFont linkFont; // only these two differ from the parent's font
    linkFont.setBold(true);
    linkFont.setUnderline(true);
    setFont(linkFont);
    setCursor(Qt::PointingHandCursor);
    resize(100, 10);
}

void THyperLink::SetCaption(const QString& caption) {
    if (caption == caption_) {
        return;
    }
    caption_ = caption;
    FitToCaption();
    update();
}

// The label is as large as its caption plus a small margin: 6 wide, 2 high.
void THyperLink::FitToCaption() {
    const QFontMetrics metrics(font());
    resize(metrics.horizontalAdvance(caption_) + 6, metrics.height() + 2);
}

void THyperLink::SetTextColor(const QColor& color) {
    textColor_ = color;
    update();
}

void THyperLink::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), color_);
    painter.setPen(textColor_);
    painter.setFont(font());
    painter.drawText(QRect(3, 1, width() - 3, height() - 1), Qt::AlignLeft | Qt::AlignTop,
                     caption_);
}

void THyperLink::enterEvent(QEnterEvent* event) {
    SetTextColor(kHoverRed);
    QWidget::enterEvent(event);
}

void THyperLink::leaveEvent(QEvent* event) {
    SetTextColor(linkColor_);
    QWidget::leaveEvent(event);
}

// The visited colour shows from the next time the mouse leaves the label.
void THyperLink::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        OpenUrl(QUrl(url_));
        linkColor_ = kVisitedMagenta;
    }
    QWidget::mousePressEvent(event);
}

void THyperLink::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        FitToCaption();
    }
    QWidget::changeEvent(event);
}

} // namespace lumenpost
