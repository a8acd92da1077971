#include "net_events/async_socket.h"
#include "net_events/socket_exception.h"
#include "net_test_support.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using test::AcceptedConnection;
using test::RunUntil;

// A line-mode connection that records every delivery.
class LineLink : public ::testing::Test {
protected:
    void Open(const std::function<void(TCustomAsyncSocket&)>& onData = {}) {
        ASSERT_TRUE(link.Open([&](TAsyncSocket& s) {
            s.SetLineMode(true);
            s.OnDataAvailable = [this, onData](TCustomAsyncSocket& sender, std::uint16_t) {
                if (onData) {
                    onData(sender);
                } else {
                    lines.push_back(sender.ReceiveText());
                }
            };
            s.OnSessionClosed = [this](TCustomAsyncSocket&, std::uint16_t) {
                lines.emplace_back("<closed>");
            };
        }));
    }
    TAsyncSocket& Socket() { return *link.server; }
    bool WaitForLines(std::size_t count) {
        return RunUntil([&] { return lines.size() >= count; });
    }

    AcceptedConnection link;
    std::vector<std::string> lines;
};

TEST_F(LineLink, TwoLinesInOneReadArriveOneByOne) {
    Open();
    link.peer->Write("HELO a\r\nMAIL FROM:<x@y>\r\n");
    ASSERT_TRUE(WaitForLines(2));
    EXPECT_EQ(lines, (std::vector<std::string>{"HELO a\r\n", "MAIL FROM:<x@y>\r\n"}));
}

TEST_F(LineLink, TerminatorSplitAcrossReadsIsFound) {
    Open();
    link.peer->Write("NOOP\r");
    ASSERT_TRUE(RunUntil([&] { return Socket().ReadCount() == 5; }));
    EXPECT_TRUE(lines.empty());
    link.peer->Write("\nRSET\r\n");
    ASSERT_TRUE(WaitForLines(2));
    EXPECT_EQ(lines, (std::vector<std::string>{"NOOP\r\n", "RSET\r\n"}));
}

TEST_F(LineLink, SwitchingOffDeliversTheRestOfTheReadBeforeNewerData) {
    std::string raw;
    Open([&](TCustomAsyncSocket& s) {
        auto& line = static_cast<TAsyncSocket&>(s);
        if (!line.LineMode()) {
            raw += s.ReceiveText();
            return;
        }
        lines.push_back(s.ReceiveText());
        line.SetLineMode(false);
        link.peer->Write("NEWER");
    });
    link.peer->Write("DATA\r\nbody1\r\nbody2");
    ASSERT_TRUE(RunUntil([&] { return raw.size() >= 17; }));
    EXPECT_EQ(lines, (std::vector<std::string>{"DATA\r\n"}));
    EXPECT_EQ(raw, "body1\r\nbody2NEWER");
}

TEST_F(LineLink, ReadingOnAfterSwitchingOffGetsTheFollowingBytes) {
    std::string raw;
    Open([&](TCustomAsyncSocket& s) {
        auto& line = static_cast<TAsyncSocket&>(s);
        if (line.LineMode()) {
            lines.push_back(s.ReceiveText());
            line.SetLineMode(false);
        }
        raw += s.ReceiveText();
    });
    link.peer->Write("DATA\r\nbody\r\n.\r\n");
    ASSERT_TRUE(RunUntil([&] { return raw.size() >= 9; }));
    test::Settle();
    EXPECT_EQ(lines, (std::vector<std::string>{"DATA\r\n"}));
    EXPECT_EQ(raw, "body\r\n.\r\n");
}

TEST_F(LineLink, SwitchingOnDeliversTheCompleteBufferedLines) {
    std::string raw;
    Open([&](TCustomAsyncSocket& s) {
        auto& line = static_cast<TAsyncSocket&>(s);
        if (line.LineMode()) {
            lines.push_back(s.ReceiveText());
            if (lines.back() == "DATA\r\n") {
                line.SetLineMode(false);
            }
            return;
        }
        char block[10];
        const std::int32_t n = s.ReceiveBytes(block, sizeof(block));
        raw.append(block, static_cast<std::size_t>(std::max(n, 0)));
        line.SetLineMode(true);
    });
    link.peer->Write("DATA\r\nmessage.\r\nCMD2\r\nCMD3\r\npartial");
    ASSERT_TRUE(WaitForLines(3));
    test::Settle();
    EXPECT_EQ(raw, "message.\r\n");
    EXPECT_EQ(lines, (std::vector<std::string>{"DATA\r\n", "CMD2\r\n", "CMD3\r\n"}));
    link.peer->Write("-end\r\n");
    ASSERT_TRUE(WaitForLines(4));
    EXPECT_EQ(lines.back(), "partial-end\r\n");
}

TEST_F(LineLink, RedeliveryEndsWhenNothingIsConsumed) {
    int rawCalls = 0;
    Open([&](TCustomAsyncSocket& s) {
        auto& line = static_cast<TAsyncSocket&>(s);
        if (line.LineMode()) {
            lines.push_back(s.ReceiveText());
            line.SetLineMode(false);
        } else if (++rawCalls > 100) {
            s.ReceiveText(); // bounded even if the pass never ended
        }
    });
    link.peer->Write("X\r\nunread");
    ASSERT_TRUE(WaitForLines(1));
    test::Settle();
    EXPECT_EQ(rawCalls, 1);
    char rest[16];
    EXPECT_EQ(Socket().ReceiveBytes(rest, sizeof(rest)), 6);
}

TEST_F(LineLink, OverlongLineIsDroppedAtTheLimit) {
    Open();
    link.peer->Write(std::string(70000, 'x'));
    ASSERT_TRUE(RunUntil([&] { return Socket().ReadCount() == 70000; }));
    link.peer->Write("ok\r\n");
    ASSERT_TRUE(WaitForLines(1));
    EXPECT_EQ(lines, (std::vector<std::string>{"ok\r\n"}));
}

TEST_F(LineLink, LimitHandlerMayKeepTheBytes) {
    std::vector<std::int32_t> reports;
    Open();
    Socket().OnLineLimitExceeded = [&](TCustomAsyncSocket&, std::int32_t length, bool& clear) {
        reports.push_back(length);
        clear = false;
    };
    link.peer->Write(std::string(70000, 'x'));
    ASSERT_TRUE(RunUntil([&] { return Socket().ReadCount() == 70000; }));
    link.peer->Write("\r\n");
    ASSERT_TRUE(WaitForLines(1));
    ASSERT_FALSE(reports.empty());
    EXPECT_GT(reports.front(), 65536);
    EXPECT_EQ(lines.front().size(), 70002U);
}

TEST_F(LineLink, LineEditAppliesBackspaceAndTab) {
    Open();
    Socket().SetLineEdit(true);
    // Edits apply to everything buffered, so each line is typed after the last.
    for (const char* typed : {"ab\bc\r\n", "ab\tZ\r\n", "abcdefgh\tZ\r\n", "\b\bq\r\n"}) {
        link.peer->Write(typed);
        ASSERT_TRUE(WaitForLines(lines.size() + 1));
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"ac\r\n", "ab      Z\r\n", "abcdefgh        Z\r\n",
                                               "q\r\n"}));
}

TEST_F(LineLink, EchoSendsInputBackWithEditing) {
    Open();
    Socket().SetLineEcho(true);
    link.peer->Write("hi\r\n");
    ASSERT_TRUE(WaitForLines(1));
    EXPECT_EQ(link.peer->Read(4), "hi\r\n");
    Socket().SetLineEdit(true);
    link.peer->Write("a\b\t\r\n");
    ASSERT_TRUE(WaitForLines(2));
    EXPECT_EQ(link.peer->Read(14), "a\b \b        \r\n");
}

TEST_F(LineLink, UnterminatedLastLineArrivesBeforeTheClose) {
    Open();
    link.peer->Write("abc");
    link.peer->Close();
    ASSERT_TRUE(WaitForLines(2));
    EXPECT_EQ(lines, (std::vector<std::string>{"abc", "<closed>"}));
}

TEST_F(LineLink, FinalLineSwitchedOffMidwayKeepsItsUnreadRest) {
    Open([&](TCustomAsyncSocket& s) {
        auto& line = static_cast<TAsyncSocket&>(s);
        char part[4];
        const std::int32_t n = s.ReceiveBytes(part, line.LineMode() ? 3 : 4);
        lines.emplace_back(part, static_cast<std::size_t>(std::max(n, 0)));
        line.SetLineMode(false);
    });
    link.peer->Write("abcdefg");
    link.peer->Close();
    ASSERT_TRUE(WaitForLines(3));
    EXPECT_EQ(lines, (std::vector<std::string>{"abc", "defg", "<closed>"}));
}

TEST_F(LineLink, CloseFromInsideALineHandlerDoesNotOfferItAgain) {
    Open([&](TCustomAsyncSocket& s) {
        lines.push_back(s.ReceiveText());
        if (lines.back() == "QUIT\r\n") {
            s.Disconnect();
        }
    });
    link.peer->Write("QUIT\r\nLATE\r\n");
    ASSERT_TRUE(RunUntil([&] { return Socket().State() == TSocketState::wsClosed; }));
    test::Settle();
    EXPECT_EQ(lines, (std::vector<std::string>{"QUIT\r\n", "LATE\r\n", "<closed>"}));
}

TEST_F(LineLink, FailingHandlerDropsOnlyItsOwnLine) {
    Open([&](TCustomAsyncSocket& s) {
        lines.push_back(s.ReceiveText());
        if (lines.back() == "A\r\n") {
            throw ESocketException("handler broke");
        }
    });
    link.peer->Write("A\r\nB\r\n");
    ASSERT_TRUE(WaitForLines(1));
    test::Settle();
    link.peer->Write("C\r\n");
    ASSERT_TRUE(WaitForLines(3));
    EXPECT_EQ(lines, (std::vector<std::string>{"A\r\n", "B\r\n", "C\r\n"}));
}

TEST_F(LineLink, HandlerRunningTheEventLoopIsNotEnteredAgain) {
    int depth = 0;
    int deepest = 0;
    Open([&](TCustomAsyncSocket& s) {
        deepest = std::max(deepest, ++depth);
        lines.push_back(s.ReceiveText());
        if (lines.size() == 1) {
            link.peer->Write("3\r\n");
            test::Settle(30);
        }
        --depth;
    });
    link.peer->Write("1\r\n2\r\n");
    ASSERT_TRUE(WaitForLines(3));
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(lines, (std::vector<std::string>{"1\r\n", "2\r\n", "3\r\n"}));
}

TEST_F(LineLink, PartlyReadLineIsReturnedInPieces) {
    Open([&](TCustomAsyncSocket& s) {
        char piece[3];
        const std::int32_t n = s.ReceiveBytes(piece, sizeof(piece));
        lines.emplace_back(piece, static_cast<std::size_t>(std::max(n, 0)));
    });
    link.peer->Write("12345\r\nX\r\n");
    ASSERT_TRUE(WaitForLines(4));
    EXPECT_EQ(lines, (std::vector<std::string>{"123", "45\r", "\n", "X\r\n"}));
}

} // namespace
} // namespace lumenpost
