// Builds the main window's controls at their fixed places.
#include "desktop/form1.h"
#include "desktop/hyper_link.h"
#include "desktop/jpeg_image.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>

namespace lumenpost {
namespace {

// The client area: Panel1 (345) and GroupBox3 (241) side by side, the status line below.
constexpr int kClientWidth = 586;
constexpr int kClientHeight = 402;
constexpr int kStatusHeight = 19;
constexpr int kPanel1Width = 345;
constexpr int kGroupBox1Height = 185;
constexpr int kPanel2Height = 189;
constexpr int kFieldWidth = 129;
constexpr int kFieldHeight = 20;
// A frame's children fill the area inside its border and below its title.
constexpr QMargins kFrameInside{2, 15, 2, 2};

constexpr const char* kPresetDnsServers[] = {
    "223.5.5.5",       "223.6.6.6",      "119.29.29.29",   "114.114.114.114", "180.76.76.76",
    "8.8.8.8",         "8.8.4.4",        "1.1.1.1",        "1.0.0.1",         "9.9.9.9",
    "149.112.112.112", "208.67.222.222", "208.67.220.220", "94.140.14.14",
};

struct LinkEntry {
    const char* name;
    int top;
    const char* caption;
    const char* url;
};

constexpr LinkEntry kLinks[] = {
    {"HyperLink4", 76, "lumenpost.example.org", "https://lumenpost.example.org/"},
    {"HyperLink1", 92, "lumenpost.example.org/download", "https://lumenpost.example.org/download"},
    {"HyperLink3", 108, "IM 10000001 / 10000002", "https://lumenpost.example.org/contact"},
};

template <typename Widget> Widget* Place(QWidget* parent, const char* name, const QRect& geometry) {
    auto* widget = new Widget(parent); // owned by its parent
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    return widget;
}

QGroupBox* Frame(QWidget* parent, const char* name, const QRect& geometry, const QString& title) {
    auto* box = Place<QGroupBox>(parent, name, geometry);
    box->setTitle(title);
    return box;
}

QRect Inside(const QWidget* frame) {
    return QRect(QPoint(0, 0), frame->size()).marginsRemoved(kFrameInside);
}

QPlainTextEdit* Log(QGroupBox* frame, const char* name, bool wrap) {
    auto* log = Place<QPlainTextEdit>(frame, name, Inside(frame));
    log->setReadOnly(true);
    log->setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return log;
}

void Text(QWidget* parent, const char* name, QPoint at, const QString& text) {
    auto* label = Place<QLabel>(parent, name, QRect(at, QSize()));
    label->setText(text);
    label->adjustSize();
}

QCheckBox* Option(QWidget* parent, const char* name, int top, const QString& text) {
    auto* box = Place<QCheckBox>(parent, name, QRect(16, top, 210, 17));
    box->setText(text);
    return box;
}

void Picture(QWidget* parent, const char* name, const QRect& geometry, const QString& path) {
    auto* picture = Place<QLabel>(parent, name, geometry);
    picture->setPixmap(QPixmap::fromImage(LoadPicture(path)));
}

} // namespace

void TForm1::BuildLayout() {
    setWindowTitle(QString::fromLatin1(kTitle));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    QFont songFace;
    // The song-style face where it exists, else any installed Chinese face.
    songFace.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"),
                          QStringLiteral("NSimSun"), QStringLiteral("Noto Serif CJK SC"),
                          QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Zen Hei"),
                          QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("AR PL UMing CN")});
    songFace.setPixelSize(12);
    setFont(songFace);

    StatusBar1 = Place<QStatusBar>(
        this, "StatusBar1", QRect(0, kClientHeight - kStatusHeight, kClientWidth, kStatusHeight));
    StatusBar1->setSizeGripEnabled(false);
    BuildLogs();
    BuildSettingsBox();
    BuildPopupMenu();
}

void TForm1::BuildLogs() {
    const int height = kClientHeight - kStatusHeight;
    auto* panel1 = Place<QFrame>(this, "Panel1", QRect(0, 0, kPanel1Width, height));
    auto* groupBox1 = Frame(panel1, "GroupBox1", QRect(0, 0, kPanel1Width, kGroupBox1Height),
                            tr("SMTP转发成功记录"));
    okrelay = Log(groupBox1, "okrelay", true);
    auto* groupBox2 = Frame(panel1, "GroupBox2",
                            QRect(0, kGroupBox1Height, kPanel1Width, height - kGroupBox1Height),
                            tr("SMTP转发失败记录"));
    badrelay = Log(groupBox2, "badrelay", false);
}

void TForm1::BuildSettingsBox() {
    auto* box =
        Frame(this, "GroupBox3",
              QRect(kPanel1Width, 0, kClientWidth - kPanel1Width, kClientHeight - kStatusHeight),
              tr("系统参数设置"));
    Text(box, "Label1", {12, 24}, tr("DNS服务器地址："));
    ComboBox1 = Place<QComboBox>(box, "ComboBox1", QRect(106, 21, kFieldWidth, kFieldHeight));
    ComboBox1->setEditable(true);
    ComboBox1->setInsertPolicy(QComboBox::NoInsert);
    for (const char* server : kPresetDnsServers) {
        ComboBox1->addItem(QLatin1String(server));
    }
    Text(box, "Label2", {6, 52}, tr("SMTP管理员信箱："));
    Edit1 = Place<QLineEdit>(box, "Edit1", QRect(106, 48, kFieldWidth, kFieldHeight));
    Text(box, "Label4", {6, 76}, tr("本机当前IP地址："));
    Edit2 = Place<QLineEdit>(box, "Edit2", QRect(106, 74, kFieldWidth, kFieldHeight));
    Edit2->setToolTip(tr("请将本IP地址作为发信SMTP地址，也可设为127.0.0.1"));
    CheckBox1 = Option(box, "CheckBox1", 98, tr("随WINDOWS启动后运行"));
    CheckBox2 = Option(box, "CheckBox2", 122, tr("启动后最小化"));
    CheckBox3 = Option(box, "CheckBox3", 146, tr("邮件转发失败后语音提示"));
    CheckBox4 = Option(box, "CheckBox4", 170, tr("邮件转发失败后退信通知"));
    BuildPicturePanel(box);
    auto* button1 = Place<QPushButton>(box, "Button1", QRect(120, 288, 75, 25));
    button1->setText(tr("SMTP发送"));
    button1->hide(); // the relay pass's trigger is never shown
}

void TForm1::BuildPicturePanel(QWidget* groupBox) {
    const int inner = groupBox->width() - kFrameInside.left() - kFrameInside.right();
    auto* panel2 = Place<QFrame>(groupBox, "Panel2",
                                 QRect(kFrameInside.left(),
                                       groupBox->height() - kFrameInside.bottom() - kPanel2Height,
                                       inner, kPanel2Height));
    panel2->setFrameStyle(QFrame::Box | QFrame::Sunken); // lowered outer, raised inner bevel
    Picture(panel2, "Image1", QRect(96, 6, 66, 46), QStringLiteral(":/lumenpost/logo.jpg"));
    Picture(panel2, "Image2", QRect(32, 56, 188, 18), QStringLiteral(":/lumenpost/banner.jpg"));
    for (const LinkEntry& entry : kLinks) {
        auto* link = Place<THyperLink>(panel2, entry.name, QRect(28, entry.top, 100, 10));
        link->SetURL(QLatin1String(entry.url));
        link->OpenUrl = environment_.OpenUrl;
        link->SetCaption(QLatin1String(entry.caption));
    }
}

void TForm1::BuildPopupMenu() {
    PopupMenu1 = new QMenu(this); // owned by the window
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    const auto item = [this](const char* name, const QString& caption, void (TForm1::*handler)()) {
        QAction* action = PopupMenu1->addAction(caption, this, handler);
        action->setObjectName(QLatin1String(name));
        return action;
    };
    N1 = item("N1", tr("显示主窗口(&M)"), &TForm1::N1Click);
    N1->setEnabled(false);
    N2 = item("N2", tr("最小化显示(&N)"), &TForm1::N2Click);
    item("N3", tr("反馈改进意见(&F)"), &TForm1::N3Click);
    item("N4", tr("访问软件主页(&V)"), &TForm1::N4Click);
    item("N6", tr("邮件队列..."), &TForm1::N6Click);
    item("N7", tr("高级设置..."), &TForm1::N7Click);
    item("N5", tr("退出(&Exit)"), &TForm1::N5Click);
}

} // namespace lumenpost
