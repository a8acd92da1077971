#include "desktop/settings_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace lumenpost {
namespace {

constexpr int kCaptionColumn = 0;
constexpr int kFieldColumn = 1;
constexpr int kMessageColumn = 2;

QLabel* MessageLabel(QWidget* parent) {
    auto* label = new QLabel(parent); // owned by the dialog
    label->setStyleSheet(QStringLiteral("color: #c00000;"));
    label->setWordWrap(true);
    return label;
}

const char* ObjectName(AdvancedField field) {
    switch (field) {
    case AdvancedField::maxsize:
        return "maxsize";
    case AdvancedField::deliveries:
        return "deliveries";
    case AdvancedField::retry:
        return "retry";
    case AdvancedField::queuelife:
        return "queuelife";
    case AdvancedField::tls:
        return "tls";
    case AdvancedField::relayhost:
        return "relayhost";
    case AdvancedField::relayuser:
        break;
    }
    return "relayuser";
}

} // namespace

SettingsDialog::SettingsDialog(const RelaySettings& current, Apply apply, SavePassword savePassword,
                               QWidget* parent)
    : QDialog(parent), current_(current), apply_(std::move(apply)),
      savePassword_(std::move(savePassword)) {
    setWindowTitle(tr("高级设置"));
    setObjectName(QStringLiteral("SettingsDialog"));
    auto* grid = new QGridLayout;
    const AdvancedSettingsText text = AdvancedSettingsText::From(current);
    AddLine(AdvancedField::maxsize, tr("最大邮件大小 (MiB)"), text.maxsizeMiB);
    AddLine(AdvancedField::deliveries, tr("同时投递数"), text.deliveries);
    AddLine(AdvancedField::retry, tr("重试间隔 (秒)"), text.retry);
    AddLine(AdvancedField::queuelife, tr("最长排队时间 (小时)"), text.queuelifeHours);
    tls_ = new QComboBox(this);
    tls_->setObjectName(QStringLiteral("tls"));
    tls_->addItem(tr("可加密时加密 (may)"), QStringLiteral("may"));
    tls_->addItem(tr("必须加密 (encrypt)"), QStringLiteral("encrypt"));
    tls_->addItem(tr("不加密 (none)"), QStringLiteral("none"));
    tls_->setCurrentIndex(tls_->findData(text.tls));
    AddLine(AdvancedField::relayhost, tr("中继服务器"), text.relayhost)
        ->setPlaceholderText(tr("留空: 直接投递; 例如 smtp.example.com:587"));
    AddLine(AdvancedField::relayuser, tr("中继用户名"), text.relayuser);
    password_ = new QLineEdit(this);
    password_->setObjectName(QStringLiteral("password"));
    password_->setEchoMode(QLineEdit::Password);
    password_->setPlaceholderText(tr("留空: 不更改"));
    if (!savePassword_) {
        password_->setEnabled(false); // --password-file gives it
        password_->setPlaceholderText(tr("由 --password-file 提供"));
    }

    int row = 0;
    for (const auto& [field, line] : lines_) {
        if (field == AdvancedField::relayhost) {
            grid->addWidget(new QLabel(tr("发送加密"), this), row, kCaptionColumn);
            grid->addWidget(tls_, row, kFieldColumn);
            ++row;
        }
        grid->addWidget(new QLabel(line->accessibleName(), this), row, kCaptionColumn);
        grid->addWidget(line, row, kFieldColumn);
        grid->addWidget(messages_.at(field), row, kMessageColumn);
        ++row;
    }
    grid->addWidget(new QLabel(tr("中继密码"), this), row, kCaptionColumn);
    grid->addWidget(password_, row, kFieldColumn);

    writeError_ = MessageLabel(this);
    writeError_->setObjectName(QStringLiteral("writeError"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(writeError_);
    layout->addWidget(buttons);
}

QLineEdit* SettingsDialog::AddLine(AdvancedField field, const QString& caption,
                                   const QString& text) {
    auto* line = new QLineEdit(text, this);
    line->setObjectName(QLatin1String(ObjectName(field)));
    line->setAccessibleName(caption);
    QLabel* message = MessageLabel(this);
    message->setObjectName(QLatin1String(ObjectName(field)) + QStringLiteral("Message"));
    lines_[field] = line;
    messages_[field] = message;
    connect(line, &QLineEdit::textChanged, this, [this] { ShowCheck(); });
    return line;
}

AdvancedSettingsText SettingsDialog::Typed() const {
    return {lines_.at(AdvancedField::maxsize)->text(),
            lines_.at(AdvancedField::deliveries)->text(),
            lines_.at(AdvancedField::retry)->text(),
            lines_.at(AdvancedField::queuelife)->text(),
            tls_->currentData().toString(),
            lines_.at(AdvancedField::relayhost)->text(),
            lines_.at(AdvancedField::relayuser)->text()};
}

bool SettingsDialog::ShowCheck() {
    const AdvancedSettingsCheck check = CheckAdvancedSettings(Typed(), current_);
    for (const auto& [field, label] : messages_) {
        const auto error = check.errors.find(field);
        label->setText(error == check.errors.end() ? QString() : error->second);
    }
    return check.errors.empty();
}

void SettingsDialog::accept() {
    if (!ShowCheck()) {
        return;
    }
    const RelaySettings settings = *CheckAdvancedSettings(Typed(), current_).settings;
    if (const auto error = apply_(settings)) {
        writeError_->setText(tr("设置已生效，但未能写入设置文件: %1").arg(*error));
        return;
    }
    if (savePassword_ && !password_->text().isEmpty()) {
        savePassword_(password_->text());
    }
    QDialog::accept();
}

} // namespace lumenpost
