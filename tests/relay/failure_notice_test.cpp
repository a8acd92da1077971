#include "relay/failure_notice.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

NoticeContent Content() {
    Envelope original{"q1", 100, "alice@sender.test", false, false, {}};
    return {original,
            {{"bob@x.test", "550 5.1.1 <bob@x.test>: no such user", "mx.x.test [192.0.2.1]:25"},
             {"carol@y.test", "domain y.test does not exist", ""},
             {"dave@z.test", "gave up after 5 attempts: 451 4.3.0 later", "mx.z.test [::1]:25"}},
            "Received: from a\r\nSubject: hello\r\n",
            "postmaster@relay.test",
            "relay.test",
            "n1",
            "Tue, 8 Dec 2026 12:00:00 +0000"};
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(FailureNoticeTest, OneReportListsEveryFailedRecipientWithItsReasonAndStatus) {
    const std::string text = FailureNoticeText(Content());
    for (const char* field :
         {"From: postmaster@relay.test\r\n", "To: alice@sender.test\r\n",
          "Subject: Email Relay Fail Notice\r\n", "Auto-Submitted: auto-replied\r\n",
          "Message-ID: <n1.relay.test>\r\n", "MIME-Version: 1.0\r\n",
          "Content-Type: multipart/report; report-type=delivery-status;\r\n"
          "\tboundary=\"=_lumenpost_notice_n1\"\r\n"}) {
        EXPECT_NE(text.find(field), std::string::npos) << field;
    }
    EXPECT_NE(text.find("Your Email From: alice@sender.test /To: bob@x.test Relay Fail...\r\n"
                        "Reason: 550 5.1.1 <bob@x.test>: no such user\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(Count(text, "Relay Fail..."), 3u);
    EXPECT_EQ(Count(text, "Action: failed\r\n"), 3u);
    // The exchanger's own status where it gave one; otherwise one that fits the reason.
    EXPECT_NE(text.find("Status: 5.1.1\r\nRemote-MTA: dns; mx.x.test\r\n"
                        "Diagnostic-Code: smtp; 550 5.1.1 <bob@x.test>: no such user\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("Final-Recipient: rfc822; carol@y.test\r\nAction: failed\r\n"
                        "Status: 5.1.2\r\n\r\n"),
              std::string::npos)
        << "no Diagnostic-Code without a reply";
    EXPECT_NE(text.find("Status: 4.4.7\r\n"), std::string::npos);
    EXPECT_NE(text.find("Content-Type: text/rfc822-headers\r\n\r\nReceived: from a\r\n"
                        "Subject: hello\r\n"),
              std::string::npos);
    EXPECT_EQ(Count(text, "--=_lumenpost_notice_n1\r\n"), 3u);
    EXPECT_TRUE(text.ends_with("\r\n--=_lumenpost_notice_n1--\r\n"));
    EXPECT_EQ(Count(text, "\n"), Count(text, "\r\n")) << "CR LF line ends only";
}

TEST(FailureNoticeTest, TheNoticeComesFromTheNullSenderAndSaysWhetherItIsEightBit) {
    Envelope original{"q1", 100, "用户@例子.测试", true, true, {}};
    Envelope notice = NoticeEnvelope("n1", 500, original, "plain text");
    EXPECT_EQ(notice.sender, "");
    EXPECT_EQ(notice.arrival, 500);
    ASSERT_EQ(notice.recipients.size(), 1u);
    EXPECT_EQ(notice.recipients[0].address, "用户@例子.测试");
    EXPECT_TRUE(notice.smtputf8);
    EXPECT_FALSE(notice.eightBit);
    EXPECT_TRUE(NoticeEnvelope("n1", 500, original, "ü").eightBit);
}

TEST(FailureNoticeTest, OnlyWholeHeaderLinesOfTheOriginalAreQuoted) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("m.data").toStdString();
    const auto write = [&](const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
        return ReadHeaderLines(path);
    };
    EXPECT_EQ(write("A: 1\r\nB: 2\r\n\r\nbody\r\n"), "A: 1\r\nB: 2\r\n");
    EXPECT_EQ(write("A: 1\r\n"), "A: 1\r\n");
    const std::string endless(kNoticeHeaderLimit + 10, 'x');
    EXPECT_EQ(write("A: 1\r\n" + endless), "A: 1\r\n");
    EXPECT_EQ(ReadHeaderLines(dir.filePath("missing").toStdString()), "");
}

} // namespace
} // namespace lumenpost
