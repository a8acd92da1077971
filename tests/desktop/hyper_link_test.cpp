#include "desktop/form1.h"
#include "desktop/hyper_link.h"

#include <QCoreApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

void Press(QWidget* widget, Qt::MouseButton button) {
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), widget->mapToGlobal(QPointF(2, 2)),
                      button, button, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
}

TEST(HyperLink, RedUnderTheMouseOpensItsAddressAndTurnsMagentaOnceVisited) {
    QList<QUrl> opened;
    THyperLink link;
    link.OpenUrl = [&opened](const QUrl& url) { opened.append(url); };
    link.SetURL("https://lumenpost.example.org/");
    link.SetCaption("lumenpost.example.org");
    const QFontMetrics metrics(link.font());
    EXPECT_EQ(link.size(),
              QSize(metrics.horizontalAdvance("lumenpost.example.org") + 6, metrics.height() + 2));

    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(&link, &enter);
    EXPECT_EQ(link.TextColor(), THyperLink::kHoverRed);
    Press(&link, Qt::RightButton);
    EXPECT_TRUE(opened.isEmpty());
    Press(&link, Qt::LeftButton);
    EXPECT_EQ(opened, QList<QUrl>{QUrl("https://lumenpost.example.org/")});
    EXPECT_EQ(link.TextColor(), THyperLink::kHoverRed); // still under the mouse
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&link, &leave);
    EXPECT_EQ(link.TextColor(), THyperLink::kVisitedMagenta);
}

TEST(HyperLink, TheMenuOpensTheFeedbackMailboxAndTheHomePage) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    QList<QUrl> opened;
    RelayApp app(CommandLineOptions{}, "/usr/bin/lumenpost");
    TForm1 form(app, FormEnvironment{false, [](const QString&) {},
                                     [&opened](const QUrl& url) { opened.append(url); }});
    form.N3Click();
    form.N4Click();
    auto* home = form.findChild<THyperLink*>("HyperLink4");
    ASSERT_NE(home, nullptr);
    Press(home, Qt::LeftButton);
    ASSERT_EQ(opened.size(), 3);
    EXPECT_EQ(opened[0].scheme(), "mailto");
    EXPECT_EQ(opened[1].scheme(), "https");
    EXPECT_EQ(opened[2], QUrl(home->URL()));
}

} // namespace
} // namespace lumenpost
