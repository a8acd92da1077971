#include "desktop/form1.h"
#include "desktop/hyper_link.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lumenpost {
namespace {

// Runs queued calls (the deferred hide after a minimise), a bounded number of rounds.
void Settle() {
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::processEvents();
    }
}

class Form1Test : public testing::Test {
protected:
    void SetUp() override { UseConfigHome(dir_.path()); }

    void UseConfigHome(const QString& path) {
        configHome_ = path;
        qputenv("XDG_CONFIG_HOME", path.toUtf8());
        qputenv("XDG_DATA_HOME", dir_.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", dir_.path().toUtf8());
    }

    // A fresh program start: the window is built and its start-up steps run.
    void Start() {
        form_.reset();
        CommandLineOptions options;
        options.listen = listen_;
        app_ = std::make_unique<RelayApp>(options, executable_);
        FormEnvironment environment{true, [this](const QString& text) { errors_.append(text); }};
        form_ = std::make_unique<TForm1>(*app_, environment);
        QObject::connect(form_.get(), &TForm1::closed, [this] { ++closed_; });
        form_->FormCreate();
        form_->show();
    }

    template <typename Widget> Widget* Find(const char* name) {
        auto* widget = form_->findChild<Widget*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    QAction* Item(const char* name) { return Find<QMenu>("PopupMenu1")->findChild<QAction*>(name); }

    QTemporaryDir dir_;
    QString configHome_;
    QString executable_ = "/opt/lumenpost/bin/lumenpost";
    ListenAddress listen_{"127.0.0.1", "0"}; // any free port
    QStringList errors_;
    int closed_ = 0;
    std::unique_ptr<RelayApp> app_;
    std::unique_ptr<TForm1> form_;
};

QString TextOf(QWidget* widget) {
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        return label->text();
    }
    if (auto* box = qobject_cast<QGroupBox*>(widget)) {
        return box->title();
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        return button->text();
    }
    return QString();
}

TEST_F(Form1Test, EveryControlSitsWhereTheLayoutPutsItWithItsText) {
    Start();
    EXPECT_EQ(form_->windowTitle(), "Lumenpost V1.3");
    EXPECT_EQ(form_->size(), QSize(586, 402)); // 594 x 429 with a classic frame
    EXPECT_FALSE(form_->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form_->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(form_->font().families().value(0), "宋体");
    EXPECT_EQ(form_->font().pixelSize(), 12);

    struct Expected {
        const char* name;
        const char* parent;
        QRect geometry; // a width or height of 0 is not fixed by the layout
        const char* text;
    };
    const Expected layout[] = {
        {"StatusBar1", "", {0, 383, 586, 19}, ""},
        {"Panel1", "", {0, 0, 345, 383}, ""},
        {"GroupBox1", "Panel1", {0, 0, 345, 185}, "SMTP转发成功记录"},
        {"okrelay", "GroupBox1", {2, 15, 341, 168}, ""},
        {"GroupBox2", "Panel1", {0, 185, 345, 198}, "SMTP转发失败记录"},
        {"badrelay", "GroupBox2", {2, 15, 341, 181}, ""},
        {"GroupBox3", "", {345, 0, 241, 383}, "系统参数设置"},
        {"Label1", "GroupBox3", {12, 24, 0, 0}, "DNS服务器地址："},
        {"ComboBox1", "GroupBox3", {106, 21, 129, 0}, ""},
        {"Label2", "GroupBox3", {6, 52, 0, 0}, "SMTP管理员信箱："},
        {"Edit1", "GroupBox3", {106, 48, 129, 0}, ""},
        {"Label4", "GroupBox3", {6, 76, 0, 0}, "本机当前IP地址："},
        {"Edit2", "GroupBox3", {106, 74, 129, 0}, ""},
        {"CheckBox1", "GroupBox3", {16, 98, 0, 0}, "随WINDOWS启动后运行"},
        {"CheckBox2", "GroupBox3", {16, 122, 0, 0}, "启动后最小化"},
        {"CheckBox3", "GroupBox3", {16, 146, 0, 0}, "邮件转发失败后语音提示"},
        {"CheckBox4", "GroupBox3", {16, 170, 0, 0}, "邮件转发失败后退信通知"},
        {"Panel2", "GroupBox3", {2, 192, 237, 189}, ""},
        {"Image1", "Panel2", {96, 6, 66, 46}, ""},
        {"Image2", "Panel2", {32, 56, 188, 18}, ""},
        {"HyperLink4", "Panel2", {28, 76, 0, 0}, ""},
        {"HyperLink1", "Panel2", {28, 92, 0, 0}, ""},
        {"HyperLink3", "Panel2", {28, 108, 0, 0}, ""},
        {"Button1", "GroupBox3", {120, 288, 0, 0}, "SMTP发送"},
    };
    for (const Expected& control : layout) {
        SCOPED_TRACE(control.name);
        auto* widget = Find<QWidget>(control.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->parentWidget()->objectName(), control.parent);
        EXPECT_EQ(widget->pos(), control.geometry.topLeft());
        if (control.geometry.width() > 0) {
            EXPECT_EQ(widget->width(), control.geometry.width());
        }
        if (control.geometry.height() > 0) {
            EXPECT_EQ(widget->height(), control.geometry.height());
        }
        EXPECT_EQ(TextOf(widget), QString::fromUtf8(control.text));
    }
    EXPECT_TRUE(Find<QPushButton>("Button1")->isHidden());
    EXPECT_FALSE(Find<QLabel>("Image1")->pixmap().isNull());
    EXPECT_FALSE(Find<QLabel>("Image2")->pixmap().isNull());
    EXPECT_EQ(Find<QLineEdit>("Edit2")->toolTip(),
              "请将本IP地址作为发信SMTP地址，也可设为127.0.0.1");
    EXPECT_FALSE(Find<QLineEdit>("Edit2")->text().isEmpty());
    EXPECT_EQ(Find<QPlainTextEdit>("badrelay")->lineWrapMode(), QPlainTextEdit::NoWrap);
    for (const char* log : {"okrelay", "badrelay"}) {
        EXPECT_EQ(Find<QPlainTextEdit>(log)->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        EXPECT_EQ(Find<QPlainTextEdit>(log)->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    }
    auto* dns = Find<QComboBox>("ComboBox1");
    EXPECT_TRUE(dns->isEditable());
    EXPECT_EQ(dns->count(), 14);
    for (int i = 0; i < dns->count(); ++i) {
        EXPECT_TRUE(ParseIpv4(dns->itemText(i))) << dns->itemText(i).toStdString();
    }
    for (const char* link : {"HyperLink4", "HyperLink1", "HyperLink3"}) {
        auto* label = Find<THyperLink>(link);
        EXPECT_FALSE(label->Caption().isEmpty());
        EXPECT_TRUE(label->URL().startsWith("https://"));
        EXPECT_TRUE(label->font().bold() && label->font().underline());
        EXPECT_EQ(label->TextColor(), THyperLink::kLinkBlue);
    }
    const char* menu[][2] = {{"N1", "显示主窗口(&M)"},
                             {"N2", "最小化显示(&N)"},
                             {"N3", "反馈改进意见(&F)"},
                             {"N4", "访问软件主页(&V)"},
                             {"N5", "退出(&Exit)"}};
    for (const auto& [name, caption] : menu) {
        ASSERT_NE(Item(name), nullptr) << name;
        EXPECT_EQ(Item(name)->text(), QString::fromUtf8(caption));
        EXPECT_EQ(Item(name)->isEnabled(), name != std::string("N1"));
    }
    EXPECT_EQ(form_->Tray().Hint(), "Lumenpost V1.3");
}

TEST_F(Form1Test, MinimisingHidesToTheTrayAndAClickBringsItBack) {
    Start();
    form_->setWindowState(Qt::WindowMinimized);
    Settle();
    EXPECT_TRUE(form_->isHidden());
    EXPECT_TRUE(Item("N1")->isEnabled());
    EXPECT_FALSE(Item("N2")->isEnabled());

    form_->Tray().SetEnabled(false); // a disabled icon ignores the mouse
    form_->Tray().HandleActivation(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(form_->isHidden());
    form_->Tray().SetEnabled(true);

    form_->Tray().HandleActivation(QSystemTrayIcon::Trigger);
    form_->Tray().HandleActivation(QSystemTrayIcon::DoubleClick);
    Settle();
    EXPECT_TRUE(form_->isVisible());
    EXPECT_FALSE(form_->isMinimized());
    EXPECT_FALSE(Item("N1")->isEnabled());
    EXPECT_TRUE(Item("N2")->isEnabled());

    Item("N2")->trigger();
    EXPECT_TRUE(form_->isHidden());
    Item("N1")->trigger();
    EXPECT_TRUE(form_->isVisible());
}

TEST_F(Form1Test, TheTrayHintIsCutTo63Characters) {
    Start();
    const QString seventy = QString("0123456789").repeated(7);
    form_->Tray().SetHint(seventy);
    EXPECT_EQ(form_->Tray().Hint(), seventy.left(63));
    // A character outside the basic plane is never cut in half.
    const QString wide = QString(62, u'x') + QString::fromUtf8("😀") + "tail";
    form_->Tray().SetHint(wide);
    EXPECT_EQ(form_->Tray().Hint(), QString(62, u'x'));
}

TEST_F(Form1Test, EditsAreSavedOnExitAndComeBackAtTheNextStart) {
    Start();
    EXPECT_EQ(Find<QComboBox>("ComboBox1")->currentText(), kDefaultDns);
    EXPECT_TRUE(Find<QCheckBox>("CheckBox3")->isChecked());
    Find<QComboBox>("ComboBox1")->setEditText("8.8.8.8 ");
    Find<QLineEdit>("Edit1")->setText("admin@example.org");
    Find<QCheckBox>("CheckBox1")->setChecked(true);
    Find<QCheckBox>("CheckBox3")->setChecked(false);
    EXPECT_EQ(app_->Core().Settings().dns, "8.8.8.8 ");
    Item("N5")->trigger();
    EXPECT_EQ(closed_, 1);
    EXPECT_TRUE(errors_.isEmpty());
    const QString desktop = configHome_ + "/autostart/lumenpost.desktop";
    ASSERT_TRUE(QFile::exists(desktop));
    QFile entry(desktop);
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(entry.readAll().contains("\nExec=/opt/lumenpost/bin/lumenpost\n"));

    Start();
    EXPECT_EQ(Find<QComboBox>("ComboBox1")->currentText(), "8.8.8.8 ");
    EXPECT_EQ(Find<QLineEdit>("Edit1")->text(), "admin@example.org");
    EXPECT_TRUE(Find<QCheckBox>("CheckBox1")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>("CheckBox3")->isChecked());
    Find<QCheckBox>("CheckBox1")->setChecked(false);
    EXPECT_TRUE(form_->close());
    EXPECT_FALSE(QFile::exists(desktop));
}

TEST_F(Form1Test, AnUnwritableSettingsFolderKeepsTheWindowOpen) {
    QFile blocker(dir_.filePath("config"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    UseConfigHome(dir_.filePath("config"));
    Start();
    Find<QCheckBox>("CheckBox1")->setChecked(true);
    EXPECT_FALSE(form_->close());
    EXPECT_TRUE(form_->isVisible());
    EXPECT_EQ(closed_, 0);
    EXPECT_EQ(errors_, QStringList{"Unable to write to " + configHome_ + "/lumenpost.ini"});
}

TEST_F(Form1Test, WithAutominTheWindowStartsHiddenInTheTray) {
    Start();
    Find<QCheckBox>("CheckBox2")->setChecked(true);
    ASSERT_TRUE(form_->close());
    Start();
    form_->hide();
    form_->ShowAfterStart();
    EXPECT_TRUE(form_->isHidden());
    EXPECT_TRUE(Item("N1")->isEnabled());
    form_->Tray().HandleActivation(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(form_->isVisible());
}

TEST_F(Form1Test, AClosingBeforeTheSettingsWereReadWritesNothing) {
    RelayApp app(CommandLineOptions{}, executable_);
    EXPECT_EQ(app.Close(), std::nullopt);
    EXPECT_FALSE(QFile::exists(app.Settings().Path()));
}

// A listening socket on an ephemeral loopback port, closed at the end of the test.
class HeldPort {
public:
    HeldPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const auto* generic = reinterpret_cast<sockaddr*>(&address);
        if (bind(fd_, generic, length) == 0 && listen(fd_, 1) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~HeldPort() { close(fd_); }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

    int Port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
};

TEST_F(Form1Test, AServerThatCannotListenStillReadsAndKeepsTheSettings) {
    RelaySettings saved;
    saved.dns = "9.9.9.9";
    saved.autobeep = false;
    saved.maxsize = 123456;
    saved.deliveries = 9;
    saved.retry = *RetrySchedule::Parse("5,10");
    ASSERT_EQ(RelaySettingsFile(configHome_ + "/lumenpost.ini").Write(saved), std::nullopt);
    HeldPort taken;
    ASSERT_NE(taken.Port(), 0);
    listen_.port = QString::number(taken.Port());
    Start();
    ASSERT_EQ(errors_.size(), 1);
    EXPECT_TRUE(errors_[0].startsWith("The SMTP server cannot listen on 127.0.0.1 port " +
                                      listen_.port + " ("))
        << errors_[0].toStdString();
    EXPECT_FALSE(errors_[0].contains(u'\n'));
    EXPECT_EQ(Find<QComboBox>("ComboBox1")->currentText(), "9.9.9.9");
    EXPECT_FALSE(Find<QCheckBox>("CheckBox3")->isChecked());
    // An edit in the window keeps the settings that the window does not show.
    Find<QCheckBox>("CheckBox3")->setChecked(true);
    saved.autobeep = true;
    EXPECT_TRUE(form_->close());
    EXPECT_EQ(RelaySettingsFile(configHome_ + "/lumenpost.ini").Read(), saved);
}

TEST_F(Form1Test, LogsAndStatusFollowTheCore) {
    Start();
    app_->Core().SetStatus("电子邮件转发成功！");
    app_->Core().AddRelayed("first");
    app_->Core().AddRelayed("second");
    app_->Core().AddFailed("lost");
    EXPECT_EQ(Find<QStatusBar>("StatusBar1")->currentMessage(), "电子邮件转发成功！");
    EXPECT_EQ(Find<QPlainTextEdit>("okrelay")->toPlainText(), "1:first\n2:second");
    EXPECT_EQ(Find<QPlainTextEdit>("badrelay")->toPlainText(), "1:lost");
    app_->Core().ClearRelayed();
    EXPECT_TRUE(Find<QPlainTextEdit>("okrelay")->toPlainText().isEmpty());
}

} // namespace
} // namespace lumenpost
