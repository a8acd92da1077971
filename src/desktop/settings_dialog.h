#pragma once

#include "app/advanced_settings.h"

#include <QDialog>
#include <functional>
#include <map>
#include <optional>

class QComboBox;
class QLabel;
class QLineEdit;

namespace lumenpost {

// "高级设置": the settings beyond the window's six. Each field says next to it what is
// wrong while it is wrong; OK applies them at once and writes them to the settings file
// right away, so that nothing set here is lost to a crash.
class SettingsDialog : public QDialog {
    Q_OBJECT

public:
    // Applies and stores the settings; returns what went wrong writing them.
    using Apply = std::function<std::optional<QString>(const RelaySettings&)>;
    // Keeps the relay host's password (only called with a new one). Empty when the password
    // comes from a file: the field is then disabled.
    using SavePassword = std::function<void(const QString&)>;

    SettingsDialog(const RelaySettings& current, Apply apply, SavePassword savePassword,
                   QWidget* parent = nullptr);

    // OK: checks, applies and closes, or stays open with the messages shown.
    void accept() override;

private:
    QLineEdit* AddLine(AdvancedField field, const QString& caption, const QString& text);
    AdvancedSettingsText Typed() const;
    // Shows each field's message (or none); true when every field is right.
    bool ShowCheck();

    RelaySettings current_;
    Apply apply_;
    SavePassword savePassword_;
    std::map<AdvancedField, QLineEdit*> lines_;
    std::map<AdvancedField, QLabel*> messages_;
    QComboBox* tls_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLabel* writeError_ = nullptr;
};

} // namespace lumenpost
