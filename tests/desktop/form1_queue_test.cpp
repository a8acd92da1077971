#include "desktop/form1.h"
#include "event_loop_wait.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace lumenpost {
namespace {

constexpr auto kRefusal = "550 5.1.1 no such user";

// Every delivery is refused for good.
RelayServices RefusingPeers() {
    RelayServices services;
    services.ResolveRoute = [](const std::string&, const std::string& domain) {
        return Route{RouteStatus::found, "", {{"mx." + domain, {}}}};
    };
    services.DeliverMessage = [](const RelayJob&, const std::vector<std::string>& recipients,
                                 const std::vector<Exchanger>&, const DeliveryOptions&) {
        MessageDeliveryResult result;
        result.recipients.assign(recipients.size(),
                                 DeliveryResult{DeliveryStatus::permanent, kRefusal});
        return result;
    };
    services.PlayAlert = [](int) {};
    services.Now = [] { return std::int64_t{1000000}; };
    return services;
}

// The window over a relay whose queue holds one message for refused@x.test at start.
class Form1QueueTest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
            qputenv(variable, dir_.path().toUtf8());
        }
        RelaySettings settings; // no alert tone, no notice: the balloon stands alone
        settings.autobeep = false;
        settings.autoback = false;
        ASSERT_EQ(RelaySettingsFile(dir_.path() + "/lumenpost.ini").Write(settings), std::nullopt);
        QueueFolder folder(QueueFolder::DefaultPath());
        ASSERT_EQ(folder.Prepare(), std::nullopt);
        envelope_ = Envelope{QueueFolder::NewId(),
                             100,
                             "s@a.test",
                             false,
                             false,
                             {QueuedRecipient::Pending("refused@x.test")}};
        std::string error;
        auto spool = folder.CreateSpool(envelope_.id, error);
        ASSERT_TRUE(spool) << error;
        spool->Append("Subject: t\r\n\r\nbody\r\n");
        ASSERT_EQ(spool->Commit(envelope_), std::nullopt);
    }

    void Start(bool trayAvailable) {
        CommandLineOptions options;
        options.listen = ListenAddress{"127.0.0.1", "0"};
        app_ = std::make_unique<RelayApp>(options, "/opt/lumenpost/bin/lumenpost", RefusingPeers());
        form_ =
            std::make_unique<TForm1>(*app_, FormEnvironment{trayAvailable, [](const QString&) {}});
        form_->FormCreate();
        ASSERT_TRUE(ProcessEventsUntil([this] { return !app_->Core().badrelay().isEmpty(); }));
    }

    static QueueWindow* OpenQueueWindow() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* window = qobject_cast<QueueWindow*>(widget); window && window->isVisible()) {
                return window;
            }
        }
        return nullptr;
    }

    QTemporaryDir dir_;
    Envelope envelope_;
    std::unique_ptr<RelayApp> app_;
    std::unique_ptr<TForm1> form_;
};

TEST_F(Form1QueueTest, AFailedRecipientRaisesABalloonWhoseClickShowsItsRow) {
    Start(true);
    ASSERT_FALSE(app_->Core().Settings().autobeep);
    const QString balloon = form_->Tray().BalloonText();
    EXPECT_TRUE(balloon.contains("refused@x.test")) << balloon.toStdString();
    EXPECT_TRUE(balloon.contains(kRefusal)) << balloon.toStdString();
    EXPECT_EQ(OpenQueueWindow(), nullptr);
    form_->Tray().HandleBalloonClick();
    QueueWindow* window = OpenQueueWindow();
    ASSERT_NE(window, nullptr);
    const std::optional<QueueRow> selected = window->Selected();
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected->id.toStdString(), envelope_.id);
    EXPECT_EQ(selected->recipient, "refused@x.test");
    EXPECT_EQ(selected->reason, kRefusal);
}

TEST_F(Form1QueueTest, WithoutATrayThereIsNoBalloon) {
    Start(false);
    EXPECT_TRUE(form_->Tray().BalloonText().isEmpty());
}

TEST_F(Form1QueueTest, TheQueueOpensFromTheItemBeforeExitAndFromTheStatusLine) {
    Start(true);
    auto* menu = form_->findChild<QMenu*>("PopupMenu1");
    ASSERT_NE(menu, nullptr);
    QStringList items;
    for (const QAction* action : menu->actions()) {
        items.append(action->objectName());
    }
    EXPECT_EQ(items, (QStringList{"N1", "N2", "N3", "N4", "N6", "N7", "N5"}));
    QAction* queueItem = menu->actions().at(4);
    EXPECT_EQ(queueItem->text(), "邮件队列...");
    queueItem->trigger();
    QueueWindow* window = OpenQueueWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->Rows()->rowCount(), 1);
    window->close();

    auto* status = form_->findChild<QStatusBar*>("StatusBar1");
    ASSERT_NE(status, nullptr);
    QMouseEvent doubleClick(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(5, 5),
                            Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(status, &doubleClick);
    EXPECT_EQ(OpenQueueWindow(), window);
}

// The dialog opens from the tray item and from the queue window's button, and what OK takes is
// in force and in the settings file at once, before any close.
TEST_F(Form1QueueTest, AdvancedSettingsOpenFromTheTrayAndTheQueueAndAreWrittenAtOnce) {
    Start(true);
    auto* item = form_->findChild<QMenu*>("PopupMenu1")->findChild<QAction*>("N7");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), "高级设置...");
    item->trigger();
    SettingsDialog& shown = form_->ShowAdvancedSettings(); // the one the item brought up
    ASSERT_TRUE(shown.isVisible());
    shown.findChild<QLineEdit*>("deliveries")->setText("7");
    shown.findChild<QLineEdit*>("relayhost")->setText("smtp.example.test:587");
    shown.accept();
    EXPECT_EQ(app_->Core().Settings().deliveries, 7);
    const RelaySettings written = RelaySettingsFile(dir_.path() + "/lumenpost.ini").Read();
    EXPECT_EQ(written.deliveries, 7);
    EXPECT_EQ(written.relayhost, "smtp.example.test:587");
    EXPECT_FALSE(shown.isVisible());

    form_->ShowQueue();
    auto* button = OpenQueueWindow()->findChild<QPushButton*>("OpenSettings");
    ASSERT_NE(button, nullptr);
    button->click();
    SettingsDialog& again = form_->ShowAdvancedSettings();
    EXPECT_EQ(again.findChild<QLineEdit*>("deliveries")->text(), "7");
}

} // namespace
} // namespace lumenpost
