#pragma once

#include <QColor>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <functional>

namespace lumenpost {

// Asks the desktop to open a web or mailto: address in the user's program for it.
void OpenUrlOnDesktop(const QUrl& url);

// A label that opens a web (or mailto:) address when clicked: bold and underlined,
// blue, red while the mouse is over it, and magenta once it has been visited. It
// sizes itself to its caption.
class THyperLink : public QWidget {
    Q_OBJECT

public:
    static constexpr QColor kLinkBlue{0, 0, 255};
    static constexpr QColor kHoverRed{255, 0, 0};
    static constexpr QColor kVisitedMagenta{255, 0, 255};

    explicit THyperLink(QWidget* parent = nullptr);

    const QString& URL() const { return url_; }
    void SetURL(const QString& url) { url_ = url; }

    const QString& Caption() const { return caption_; }
    void SetCaption(const QString& caption);

    // How a click opens URL; the desktop's handler unless replaced.
    std::function<void(const QUrl&)> OpenUrl = OpenUrlOnDesktop;

    // The colour the caption has while the mouse is not over it.
    const QColor& LinkColor() const { return linkColor_; }
    // The colour the caption is drawn in now.
    const QColor& TextColor() const { return textColor_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void FitToCaption();
    void SetTextColor(const QColor& color);

    QString url_;
    QString caption_;
    QColor color_;
    QColor linkColor_ = kLinkBlue;
    QColor textColor_ = kLinkBlue;
};

} // namespace lumenpost
