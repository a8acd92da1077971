#include "desktop/settings_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

struct Applied {
    std::vector<RelaySettings> settings;
    std::vector<QString> passwords;
    std::optional<QString> writeError;
};

std::unique_ptr<SettingsDialog> Dialog(Applied& applied) {
    return std::make_unique<SettingsDialog>(
        RelaySettings{},
        [&applied](const RelaySettings& settings) {
            applied.settings.push_back(settings);
            return applied.writeError;
        },
        [&applied](const QString& password) { applied.passwords.push_back(password); });
}

template <typename Widget> Widget* Find(SettingsDialog& dialog, const char* name) {
    auto* widget = dialog.findChild<Widget*>(QLatin1String(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

TEST(SettingsDialogTest, AWrongFieldSaysWhyBesideItAndNothingIsApplied) {
    Applied applied;
    auto dialog = Dialog(applied);
    EXPECT_EQ(Find<QLineEdit>(*dialog, "maxsize")->text(), "50");
    Find<QLineEdit>(*dialog, "deliveries")->setText("0");
    EXPECT_TRUE(Find<QLabel>(*dialog, "deliveriesMessage")->text().contains("1 到 64"));
    EXPECT_TRUE(Find<QLabel>(*dialog, "retryMessage")->text().isEmpty());
    dialog->accept();
    EXPECT_TRUE(applied.settings.empty());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    Find<QLineEdit>(*dialog, "deliveries")->setText("8");
    EXPECT_TRUE(Find<QLabel>(*dialog, "deliveriesMessage")->text().isEmpty());
}

TEST(SettingsDialogTest, OkAppliesAndStoresAtOnceAndKeepsANewPassword) {
    Applied applied;
    auto dialog = Dialog(applied);
    Find<QLineEdit>(*dialog, "queuelife")->setText("24");
    Find<QLineEdit>(*dialog, "relayhost")->setText("smtp.example.com");
    Find<QLineEdit>(*dialog, "relayuser")->setText("me");
    auto* tls = Find<QComboBox>(*dialog, "tls");
    tls->setCurrentIndex(tls->findData(QStringLiteral("encrypt")));
    Find<QLineEdit>(*dialog, "password")->setText("secret");
    dialog->accept();
    ASSERT_EQ(applied.settings.size(), 1u);
    EXPECT_EQ(applied.settings[0].queuelife, 24 * 3600);
    EXPECT_EQ(applied.settings[0].relayhost, "smtp.example.com");
    EXPECT_EQ(applied.settings[0].tls, TlsPolicy::encrypt);
    EXPECT_EQ(applied.passwords, std::vector<QString>{"secret"});
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
}

TEST(SettingsDialogTest, AFailedWriteIsShownAndTheDialogStays) {
    Applied applied;
    applied.writeError = QStringLiteral("disk full");
    auto dialog = Dialog(applied);
    dialog->accept();
    EXPECT_EQ(applied.settings.size(), 1u); // applied all the same
    EXPECT_TRUE(applied.passwords.empty()); // none typed: the stored one stays
    EXPECT_TRUE(Find<QLabel>(*dialog, "writeError")->text().contains("disk full"));
    EXPECT_NE(dialog->result(), QDialog::Accepted);
}

// --password-file gives the password: the field is off and OK applies the rest.
TEST(SettingsDialogTest, WithoutASecretStoreThePasswordFieldIsOff) {
    Applied applied;
    SettingsDialog dialog(RelaySettings{},
                          [&applied](const RelaySettings& settings) {
                              applied.settings.push_back(settings);
                              return std::optional<QString>();
                          },
                          {});
    auto* password = Find<QLineEdit>(dialog, "password");
    EXPECT_FALSE(password->isEnabled());
    EXPECT_TRUE(password->placeholderText().contains("--password-file"));
    password->setText("typed anyway");
    dialog.accept();
    EXPECT_EQ(applied.settings.size(), 1u);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

} // namespace
} // namespace lumenpost
