#include "desktop/form1.h"
#include "desktop/window_language.h"
#include "relay/relay_phrases.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace lumenpost {
namespace {

bool HasChinese(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        const char16_t code = c.unicode();
        return (code >= 0x4E00 && code <= 0x9FFF) || (code >= 0x3000 && code <= 0x303F) ||
               (code >= 0xFF00 && code <= 0xFFEF);
    });
}

// Every text a user can read in `root`: titles, captions, items, hints, column heads.
QStringList ReadableTexts(const QWidget& root) {
    QStringList texts{root.windowTitle()};
    for (const QLabel* label : root.findChildren<QLabel*>()) {
        texts << label->text();
    }
    for (const QAbstractButton* button : root.findChildren<QAbstractButton*>()) {
        texts << button->text();
    }
    for (const QGroupBox* box : root.findChildren<QGroupBox*>()) {
        texts << box->title();
    }
    for (const QAction* action : root.findChildren<QAction*>()) {
        texts << action->text();
    }
    for (const QLineEdit* line : root.findChildren<QLineEdit*>()) {
        texts << line->placeholderText() << line->toolTip() << line->accessibleName();
    }
    texts.removeAll(QString());
    return texts;
}

void ExpectEnglish(QWidget& root, const QStringList& expected) {
    EXPECT_FALSE(root.grab().isNull()); // it renders offscreen
    const QStringList texts = ReadableTexts(root);
    for (const QString& text : texts) {
        EXPECT_FALSE(HasChinese(text))
            << qPrintable(root.objectName()) << ": " << text.toStdString();
    }
    for (const QString& text : expected) {
        EXPECT_TRUE(texts.contains(text)) << text.toStdString();
    }
}

// The whole program's window over a relay of its own, as RunWindow builds it.
class EnglishWindowTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(QLocale::system().language(), QLocale::English) << "LANG=en_US.UTF-8 expected";
        ASSERT_TRUE(InstallWindowLanguage(*QCoreApplication::instance()));
    }

    void SetUp() override {
        for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
            qputenv(variable, dir_.path().toUtf8());
        }
        CommandLineOptions options;
        options.listen = ListenAddress{"127.0.0.1", "0"};
        app_ = std::make_unique<RelayApp>(options, "/opt/lumenpost/bin/lumenpost");
        form_ = std::make_unique<TForm1>(*app_, FormEnvironment{true, [](const QString&) {}});
        form_->FormCreate();
        form_->show();
    }

    QTemporaryDir dir_;
    std::unique_ptr<RelayApp> app_;
    std::unique_ptr<TForm1> form_;
};

TEST_F(EnglishWindowTest, TheWindowItsMenuTheQueueAndTheSettingsSpeakEnglish) {
    ExpectEnglish(*form_, {"DNS server:", "Postmaster:", "Relayed mail", "Failed mail",
                           "Run when the desktop starts", "Mail queue...", "Advanced settings...",
                           "E&xit"});
    QueueWindow& queue = form_->ShowQueue();
    ExpectEnglish(queue, {"Mail queue", "Retry now", "Send again", "Delete", "View message"});
    QStringList heads;
    for (int column = 0; column < queue.Rows()->columnCount(); ++column) {
        heads << queue.Rows()->headerData(column, Qt::Horizontal).toString();
    }
    EXPECT_EQ(heads, (QStringList{"Arrived", "Sender", "Recipient", "State", "Attempts",
                                  "Next attempt", "Reason", "Encryption"}));
    SettingsDialog& settings = form_->ShowAdvancedSettings();
    ExpectEnglish(settings, {"Advanced settings", "Relay host", "Relay password", "OK"});
    settings.findChild<QLineEdit*>("deliveries")->setText("0");
    const auto* message = settings.findChild<QLabel*>("deliveriesMessage");
    ASSERT_NE(message, nullptr);
    EXPECT_TRUE(message->text().startsWith("Enter a whole number from 1 to"))
        << message->text().toStdString();
}

// The core keeps the fixed phrases (the headless output prints them); the window shows them
// in English, and whatever follows the phrase as it stands.
TEST_F(EnglishWindowTest, LogAndStatusLinesAreShownInEnglishWhileTheCoreKeepsTheirPhrases) {
    RelayCore& core = app_->Core();
    core.AddRelayed(QString::fromUtf8(kLogRelayed) + "From:a@x.test/To:b@y.test/Time:10:00:00");
    core.AddFailed(QString::fromUtf8(kLogFailed) + "From:a@x.test/To:c@y.test/Time:10:00:01");
    core.SetStatus(QString::fromUtf8(kStatusFailed));
    EXPECT_EQ(form_->findChild<QPlainTextEdit*>("okrelay")->toPlainText(),
              "1:Relayed! From:a@x.test/To:b@y.test/Time:10:00:00");
    EXPECT_EQ(form_->findChild<QPlainTextEdit*>("badrelay")->toPlainText(),
              "1:Failed! From:a@x.test/To:c@y.test/Time:10:00:01");
    EXPECT_EQ(form_->findChild<QStatusBar*>("StatusBar1")->currentMessage(), "Email relay failed!");
    EXPECT_EQ(core.Status(), QString::fromUtf8(kStatusFailed));
    EXPECT_TRUE(core.okrelay().first().contains(QString::fromUtf8(kLogRelayed)));
}

TEST(WindowLanguageTest, AChineseLocaleKeepsTheSourceTexts) {
    QCoreApplication& app = *QCoreApplication::instance();
    EXPECT_FALSE(InstallWindowLanguage(app, QLocale(QLocale::Chinese, QLocale::China)));
    EXPECT_FALSE(InstallWindowLanguage(app, QLocale(QLocale::Chinese, QLocale::Taiwan)));
}

TEST(WindowLanguageTest, OnlyAPhraseAtTheStartOrAfterTheCountIsTranslated) {
    const QString relayed = QString::fromUtf8(kLogRelayed);
    const QString shown = ShownLine(relayed);
    EXPECT_EQ(ShownLine("12:" + relayed + "x"), "12:" + shown + "x");
    EXPECT_EQ(ShownLine("x" + relayed), "x" + relayed);
    EXPECT_EQ(ShownLine(":" + relayed), ":" + relayed);
    EXPECT_EQ(ShownLine("From:a/To:b/Retry:60/Reason:421"), "From:a/To:b/Retry:60/Reason:421");
    EXPECT_EQ(ShownLine(""), "");
}

} // namespace
} // namespace lumenpost
