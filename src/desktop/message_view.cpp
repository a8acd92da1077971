#include "desktop/message_view.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace lumenpost {

std::optional<QString> MessageView::ReadText(const QString& path, qint64 limit, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return std::nullopt;
    }
    QByteArray bytes = file.read(limit);
    const bool cut = !file.atEnd();
    if (cut) {
        // A whole last line reads better than half of one (or half a character).
        const qsizetype lineEnd = bytes.lastIndexOf('\n');
        if (lineEnd >= 0) {
            bytes.truncate(lineEnd + 1);
        }
    }
    const qsizetype shown = bytes.size();
    QString text = QString::fromUtf8(bytes.replace("\r\n", "\n"));
    if (cut) {
        text += tr("\n…（邮件共 %1 字节，只显示了前 %2 字节）").arg(file.size()).arg(shown);
    }
    return text;
}

MessageView::MessageView(const QString& title, const QString& text, QWidget* parent)
    : QDialog(parent), text_(new QPlainTextEdit(this)) {
    setObjectName(QStringLiteral("MessageView"));
    setWindowTitle(title);
    setAttribute(Qt::WA_DeleteOnClose);
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text_->setPlainText(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addWidget(buttons);
    resize(720, 520);
}

QString MessageView::Text() const {
    return text_->toPlainText();
}

} // namespace lumenpost
