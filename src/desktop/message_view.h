#pragma once

#include <QDialog>
#include <QString>
#include <optional>

class QPlainTextEdit;

namespace lumenpost {

// A queued message's text for reading, as stored: header lines first, then the body.
class MessageView : public QDialog {
    Q_OBJECT

public:
    // A message larger than this is shown only in part, which the text then says.
    static constexpr qint64 kShownBytes = 4 * 1024 * 1024;

    // The file's text with LF line ends, at most `limit` bytes of it (cut at a line end
    // when possible, with a note at the end). Nothing, and `error` set, when unreadable.
    static std::optional<QString> ReadText(const QString& path, qint64 limit, QString& error);

    MessageView(const QString& title, const QString& text, QWidget* parent);

    QString Text() const;

private:
    QPlainTextEdit* text_;
};

} // namespace lumenpost
