#include "relay_app/form1.h"
#include "relay_app/hyper_link.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

// Collects what the program asks the desktop to open instead of opening it.
class OpenedUrls : public QObject {
    Q_OBJECT

public:
    OpenedUrls() {
        for (const char* scheme : {"https", "mailto"}) {
            QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "Open");
        }
    }
    ~OpenedUrls() override {
        for (const char* scheme : {"https", "mailto"}) {
            QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
        }
    }

    QList<QUrl> urls;

public slots:
    void Open(const QUrl& url) { urls.append(url); }
};

void Press(QWidget* widget, Qt::MouseButton button) {
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), widget->mapToGlobal(QPointF(2, 2)),
                      button, button, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
}

TEST(HyperLink, RedUnderTheMouseOpensItsAddressAndTurnsMagentaOnceVisited) {
    OpenedUrls opened;
    THyperLink link;
    link.SetURL("https://lumenpost.example.org/");
    link.SetCaption("lumenpost.example.org");
    const QFontMetrics metrics(link.font());
    EXPECT_EQ(link.size(),
              QSize(metrics.horizontalAdvance("lumenpost.example.org") + 6, metrics.height() + 2));

    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(&link, &enter);
    EXPECT_EQ(link.TextColor(), THyperLink::kHoverRed);
    Press(&link, Qt::RightButton);
    EXPECT_TRUE(opened.urls.isEmpty());
    Press(&link, Qt::LeftButton);
    EXPECT_EQ(opened.urls, QList<QUrl>{QUrl("https://lumenpost.example.org/")});
    EXPECT_EQ(link.TextColor(), THyperLink::kHoverRed); // still under the mouse
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&link, &leave);
    EXPECT_EQ(link.TextColor(), THyperLink::kVisitedMagenta);
}

TEST(HyperLink, TheMenuOpensTheFeedbackMailboxAndTheHomePage) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    OpenedUrls opened;
    RelayApp app(CommandLineOptions{}, "/usr/bin/lumenpost");
    TForm1 form(app, FormEnvironment{false, [](const QString&) {}});
    form.N3Click();
    form.N4Click();
    ASSERT_EQ(opened.urls.size(), 2);
    EXPECT_EQ(opened.urls[0].scheme(), "mailto");
    EXPECT_EQ(opened.urls[1].scheme(), "https");
}

} // namespace
} // namespace lumenpost

#include "hyper_link_test.moc"
