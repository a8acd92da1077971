#include "../relay/queue_harness.h"
#include "desktop/message_view.h"
#include "desktop/queue_window.h"

#include <QAction>
#include <QDateTime>
#include <QFile>
#include <QTableView>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace lumenpost {
namespace {

using Column = QueueTableModel::Column;
constexpr std::int64_t kNext = 1700000000;

// Three messages: one recipient still pending (arrived last), one deferred beside a
// delivered one (arrived first), one failed from the null sender.
class QueueWindowTest : public testing::Test {
protected:
    void SetUp() override {
        pending_ = harness_.Add("a@s.test", {"p@x.test"}, 300);
        deferred_ = harness_.Add("b@s.test", {"d@y.test", "ok@y.test"}, 100);
        RelayOutcome later =
            QueueHarness::Outcome(deferred_, 0, RelayResult::deferred, "451 greylisted", kNext);
        later.tls = "TLSv1.3 TLS_AES_256_GCM_SHA384";
        harness_.Queue().Apply(later);
        harness_.Queue().Apply(QueueHarness::Outcome(deferred_, 1, RelayResult::relayed));
        failed_ = harness_.Add("", {"f@z.test"}, 200);
        harness_.Queue().Apply(
            QueueHarness::Outcome(failed_, 0, RelayResult::failed, "550 no such user"));
        const QueueWindowEnvironment environment{
            [this](QWidget*, const QString& question) {
                questions_.append(question);
                return confirm_;
            },
            [this](QWidget*, const QString& text) { errors_.append(text); }};
        window_ = std::make_unique<QueueWindow>(harness_.Queue(), environment);
    }

    QAbstractItemModel& Rows() { return *window_->Rows(); }

    QString Cell(int row, Column column) {
        return Rows().data(Rows().index(row, column)).toString();
    }

    // The recipients as the window lists them, top to bottom.
    QStringList Recipients() {
        QStringList recipients;
        for (int row = 0; row < Rows().rowCount(); ++row) {
            recipients.append(Cell(row, QueueTableModel::kRecipient));
        }
        return recipients;
    }

    int RowOf(const QString& recipient) {
        return static_cast<int>(Recipients().indexOf(recipient));
    }

    bool Select(const Envelope& envelope, const QString& recipient) {
        return window_->SelectRecipient(QString::fromStdString(envelope.id), recipient);
    }

    QAction* Action(const char* name) { return window_->findChild<QAction*>(name); }

    RecipientState StateInBook(const Envelope& envelope) {
        const auto message = harness_.Book().Message(envelope.id);
        return message ? message->envelope.recipients.at(0).state : RecipientState::delivered;
    }

    QueueHarness harness_;
    Envelope pending_, deferred_, failed_;
    bool confirm_ = true;
    QStringList questions_;
    QStringList errors_;
    std::unique_ptr<QueueWindow> window_;
};

TEST_F(QueueWindowTest, EachOpenRecipientIsARowWithItsStateInArrivalOrder) {
    EXPECT_EQ(Recipients(), (QStringList{"d@y.test", "f@z.test", "p@x.test"}));
    QStringList headers;
    for (int column = 0; column < Rows().columnCount(); ++column) {
        headers.append(Rows().headerData(column, Qt::Horizontal).toString());
    }
    EXPECT_EQ(headers, (QStringList{"到达时间", "发件人", "收件人", "状态", "尝试次数", "下次尝试",
                                    "原因", "加密"}));
    const QString nextText =
        QDateTime::fromSecsSinceEpoch(kNext).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QStringList expected[] = {
        {QDateTime::fromSecsSinceEpoch(100).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
         "b@s.test", "d@y.test", "稍后重试", "1", nextText, "451 greylisted",
         "TLSv1.3 TLS_AES_256_GCM_SHA384"},
        {QDateTime::fromSecsSinceEpoch(200).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), "<>",
         "f@z.test", "发送失败", "1", "", "550 no such user", "未加密"},
        {QDateTime::fromSecsSinceEpoch(300).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
         "a@s.test", "p@x.test", "等待发送", "0", "立即", "", ""},
    };
    for (int row = 0; row < 3; ++row) {
        QStringList cells;
        for (int column = 0; column < QueueTableModel::kColumnCount; ++column) {
            cells.append(Cell(row, static_cast<Column>(column)));
        }
        EXPECT_EQ(cells, expected[row]) << row;
    }
}

TEST_F(QueueWindowTest, TimesAndCountsSortByValueAndTextsByText) {
    QTableView* view = window_->View();
    view->sortByColumn(QueueTableModel::kNextAttempt, Qt::AscendingOrder);
    EXPECT_EQ(Recipients(), (QStringList{"p@x.test", "d@y.test", "f@z.test"}))
        << "at once, then at its time, then never";
    view->sortByColumn(QueueTableModel::kArrival, Qt::DescendingOrder);
    EXPECT_EQ(Recipients(), (QStringList{"p@x.test", "f@z.test", "d@y.test"}));
    view->sortByColumn(QueueTableModel::kRecipient, Qt::DescendingOrder);
    EXPECT_EQ(Recipients(), (QStringList{"p@x.test", "f@z.test", "d@y.test"}));
    view->sortByColumn(QueueTableModel::kSender, Qt::AscendingOrder);
    EXPECT_EQ(Recipients(), (QStringList{"f@z.test", "p@x.test", "d@y.test"}));
}

TEST_F(QueueWindowTest, OutcomesAndNewMessagesShowAtOnceAndTheSelectionStays) {
    ASSERT_TRUE(Select(pending_, "p@x.test"));
    EXPECT_FALSE(Action("RetryNow")->isEnabled()) << "nothing deferred yet";
    harness_.Queue().Apply(
        QueueHarness::Outcome(pending_, 0, RelayResult::deferred, "421 busy", kNext));
    ASSERT_TRUE(window_->Selected());
    EXPECT_EQ(window_->Selected()->recipient, "p@x.test");
    EXPECT_EQ(Cell(RowOf("p@x.test"), QueueTableModel::kState), "稍后重试");
    EXPECT_EQ(Cell(RowOf("p@x.test"), QueueTableModel::kReason), "421 busy");
    EXPECT_TRUE(Action("RetryNow")->isEnabled());

    const Envelope added = harness_.Add("n@s.test", {"one@w.test", "two@w.test"}, 50);
    EXPECT_EQ(Recipients(),
              (QStringList{"one@w.test", "two@w.test", "d@y.test", "f@z.test", "p@x.test"}));
    harness_.Queue().Apply(QueueHarness::Outcome(added, 0, RelayResult::relayed));
    EXPECT_EQ(RowOf("one@w.test"), -1) << "delivered: left out";
    harness_.Queue().Apply(QueueHarness::Outcome(added, 1, RelayResult::relayed));
    EXPECT_EQ(Rows().rowCount(), 3);
    EXPECT_EQ(window_->Selected()->recipient, "p@x.test");
}

TEST_F(QueueWindowTest, RetryMakesADeferredRecipientDueAndSendAgainQueuesAFailedOne) {
    ASSERT_TRUE(Select(deferred_, "d@y.test"));
    EXPECT_FALSE(Action("SendAgain")->isEnabled());
    const std::size_t tried = harness_.Book().InFlight();
    Action("RetryNow")->trigger();
    EXPECT_EQ(harness_.Book().InFlight(), tried + 1) << "handed to the workers";
    EXPECT_EQ(harness_.Book().Message(deferred_.id)->envelope.recipients[0].nextAttempt, 0);
    EXPECT_EQ(Cell(RowOf("d@y.test"), QueueTableModel::kNextAttempt), "立即");

    ASSERT_TRUE(Select(failed_, "f@z.test"));
    EXPECT_FALSE(Action("RetryNow")->isEnabled());
    ASSERT_TRUE(Action("SendAgain")->isEnabled());
    Action("SendAgain")->trigger();
    EXPECT_EQ(harness_.Book().Message(failed_.id)->place, QueuePlace::active);
    EXPECT_EQ(StateInBook(failed_), RecipientState::pending);
    EXPECT_EQ(Cell(RowOf("f@z.test"), QueueTableModel::kState), "等待发送");
    EXPECT_FALSE(Action("SendAgain")->isEnabled());
    EXPECT_TRUE(errors_.isEmpty()) << errors_.join('\n').toStdString();
}

TEST_F(QueueWindowTest, DeleteAsksFirstAndRemovesTheMessageFromTheQueue) {
    const QString data =
        QString::fromStdString(harness_.Folder().DataPath(pending_.id, QueuePlace::active));
    ASSERT_TRUE(Select(pending_, "p@x.test"));
    confirm_ = false;
    Action("DeleteMessage")->trigger();
    ASSERT_EQ(questions_.size(), 1);
    EXPECT_TRUE(questions_[0].contains(QString::fromStdString(pending_.id)));
    EXPECT_TRUE(harness_.Book().Message(pending_.id)) << "kept when the answer is no";
    confirm_ = true;
    Action("DeleteMessage")->trigger();
    EXPECT_FALSE(harness_.Book().Message(pending_.id));
    EXPECT_FALSE(QFile::exists(data));
    EXPECT_EQ(RowOf("p@x.test"), -1);
    const std::optional<QueueRow> next = window_->Selected();
    EXPECT_TRUE(!next || next->recipient != "p@x.test");
    EXPECT_EQ(Action("DeleteMessage")->isEnabled(), next.has_value());
}

TEST_F(QueueWindowTest, AFailedCommandShowsTheQueuesReply) {
    ASSERT_TRUE(Select(failed_, "f@z.test"));
    // Its files went behind the relay's back: the move back into the queue fails.
    ASSERT_EQ(harness_.Folder().Remove(failed_.id, QueuePlace::failed), std::nullopt);
    Action("SendAgain")->trigger();
    ASSERT_EQ(errors_.size(), 1);
    EXPECT_TRUE(errors_[0].startsWith("邮件队列操作没有完成：")) << errors_[0].toStdString();
    EXPECT_GT(errors_[0].size(), QString("邮件队列操作没有完成：").size());
}

TEST_F(QueueWindowTest, ViewMessageShowsTheStoredTextHeadersFirst) {
    ASSERT_TRUE(Select(deferred_, "d@y.test"));
    Action("ViewMessage")->trigger();
    const auto* view = window_->findChild<MessageView*>();
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->isVisible());
    EXPECT_EQ(view->Text(), "Subject: t\n\nbody\n");
}

TEST(MessageViewTest, ALargeMessageIsCutAtALineEndWithANote) {
    QTemporaryDir dir;
    const QString path = dir.filePath("message.data");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("line one\r\nline two\r\nline three\r\n"); // 32 bytes
    file.close();
    QString error;
    EXPECT_EQ(MessageView::ReadText(path, 15, error),
              "line one\n\n…（邮件共 32 字节，只显示了前 10 字节）");
    EXPECT_EQ(MessageView::ReadText(path, 32, error), "line one\nline two\nline three\n");
    EXPECT_FALSE(MessageView::ReadText(dir.filePath("missing.data"), 15, error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
} // namespace lumenpost
