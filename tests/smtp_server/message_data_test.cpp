#include "fake_session.h"
#include "smtp_server/message_data_reader.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using testing_support::FakeSession;

// Stuffed lines at the start, in the middle and just before the end, one "." line inside.
const std::string kWire = "..first\r\nplain\r\n..\r\n...three\r\n.x\r\nlast\r\n..\r\n.\r\n";
const std::string kUnstuffed = ".first\r\nplain\r\n.\r\n..three\r\n.x\r\nlast\r\n.\r\n.\r\n";

struct ReadResult {
    std::string text;
    int lastParts = 0;
    bool lastPartOnFinalBlock = false;
    bool oversized = false;
};

ReadResult ReadInBlocks(const std::vector<std::string>& blocks, std::uint64_t maxSize = 0) {
    MessageDataReader reader;
    reader.Start(maxSize);
    ReadResult result;
    for (const std::string& block : blocks) {
        if (block.empty()) {
            continue; // the session never hands an empty read on
        }
        const MessageDataReader::Block part = reader.Take(block);
        result.text += part.text;
        result.lastParts += part.lastPart ? 1 : 0;
        result.lastPartOnFinalBlock = part.lastPart;
        result.oversized = part.oversized;
    }
    return result;
}

TEST(MessageDataReaderTest, SameResultWhereverTheDataIsSplit) {
    for (std::size_t cut = 0; cut <= kWire.size(); ++cut) {
        const ReadResult r = ReadInBlocks({kWire.substr(0, cut), kWire.substr(cut)});
        EXPECT_EQ(r.text, kUnstuffed) << "cut at " << cut;
        EXPECT_EQ(r.lastParts, 1) << "cut at " << cut;
        EXPECT_TRUE(r.lastPartOnFinalBlock) << "cut at " << cut;
    }
    std::vector<std::string> bytes;
    for (char c : kWire) {
        bytes.emplace_back(1, c);
    }
    const ReadResult r = ReadInBlocks(bytes);
    EXPECT_EQ(r.text, kUnstuffed);
    EXPECT_EQ(r.lastParts, 1);
}

TEST(MessageDataReaderTest, StuffedDotLineAtBlockEndDoesNotEndTheMessage) {
    MessageDataReader reader;
    reader.Start();
    EXPECT_FALSE(reader.Take("a\r\n..\r\n").lastPart);
    EXPECT_FALSE(reader.Take("b\r\n\r\n").lastPart);
    const MessageDataReader::Block end = reader.Take(".\r\n");
    EXPECT_TRUE(end.lastPart);
    EXPECT_EQ(end.text, ".\r\n");
}

TEST(MessageDataReaderTest, LineStartsAfterABareCrOrLf) {
    EXPECT_EQ(ReadInBlocks({"a\r", "..b\n..c\r\n.\r\n"}).text, "a\r.b\n.c\r\n.\r\n");
}

TEST(MessageDataReaderTest, MarkerAnywhereEndsTheMessageAndWhatFollowsIsLeft) {
    MessageDataReader reader;
    reader.Start();
    const std::string pipelined = "a\r\n..b\r\n.\r\nMAIL FROM:<a@b.c>\r\n";
    const MessageDataReader::Block block = reader.Take(pipelined);
    EXPECT_TRUE(block.lastPart);
    EXPECT_EQ(block.text, "a\r\n.b\r\n.\r\n");
    EXPECT_EQ(pipelined.substr(block.consumed), "MAIL FROM:<a@b.c>\r\n");
    // The marker split across blocks, with commands behind it.
    reader.Start();
    EXPECT_FALSE(reader.Take("x\r\n.").lastPart);
    const MessageDataReader::Block end = reader.Take("\r\nQUIT\r\n");
    EXPECT_TRUE(end.lastPart);
    EXPECT_EQ(end.consumed, 2u);
    // A bare LF or CR around the dot never ends the data, wherever it stands.
    for (const char* smuggled : {"a\n.\nb\r\n", "a\r\n.\nb\r\n", "a\n.\r\nb\r\n", "a\r.\rb\r\n"}) {
        EXPECT_EQ(ReadInBlocks({smuggled}).lastParts, 0) << smuggled;
    }
    EXPECT_EQ(ReadInBlocks({".\r\n"}).lastParts, 1); // right after DATA: an empty message
    EXPECT_EQ(ReadInBlocks({"a\r\n.", "\r\n"}).lastParts, 1);
    EXPECT_EQ(ReadInBlocks({"a\r\n", ".\r", "\n"}).lastParts, 1);
}

TEST(MessageDataReaderTest, LimitCountsTheUnstuffedTextWithoutTheEndLine) {
    const std::uint64_t size = kUnstuffed.size() - 3; // less the end line "." CR LF
    for (std::size_t cut = 0; cut <= kWire.size(); ++cut) {
        const std::vector<std::string> blocks = {kWire.substr(0, cut), kWire.substr(cut)};
        const ReadResult atLimit = ReadInBlocks(blocks, size);
        EXPECT_FALSE(atLimit.oversized) << "cut at " << cut;
        EXPECT_EQ(atLimit.text, kUnstuffed) << "cut at " << cut;
        const ReadResult over = ReadInBlocks(blocks, size - 1);
        EXPECT_TRUE(over.oversized) << "cut at " << cut;
        EXPECT_EQ(over.lastParts, 1) << "cut at " << cut;
        EXPECT_TRUE(over.lastPartOnFinalBlock) << "cut at " << cut;
    }
}

TEST(MessageDataReaderTest, OversizedDataIsDroppedUpToTheEndMarker) {
    MessageDataReader reader;
    reader.Start(4);
    const MessageDataReader::Block pending = reader.Take("ab\r\n.\r");
    EXPECT_FALSE(pending.oversized); // ". CR" may still be the end line
    EXPECT_EQ(pending.text, "ab\r\n.\r");
    const MessageDataReader::Block over = reader.Take("x\r\n");
    EXPECT_TRUE(over.oversized);
    EXPECT_EQ(over.text, "");
    const MessageDataReader::Block stuffed = reader.Take("..\r\n");
    EXPECT_TRUE(stuffed.oversized);
    EXPECT_FALSE(stuffed.lastPart);
    EXPECT_EQ(stuffed.text, "");
    const MessageDataReader::Block end = reader.Take(".\r\n");
    EXPECT_TRUE(end.lastPart);
    EXPECT_TRUE(end.oversized);

    reader.Start(4); // the next message starts uncounted
    const MessageDataReader::Block next = reader.Take("ab\r\n.\r\n");
    EXPECT_TRUE(next.lastPart);
    EXPECT_FALSE(next.oversized);
}

TEST(DataPhaseTest, TheNextMessageNeedsItsOwnRecipientsAndStartsClean) {
    FakeSession s;
    s.Ehlo();
    s.Say("RCPT TO:<a@b.c>\r\n");
    s.Say("DATA\r\n");
    EXPECT_FALSE(s.lineMode);
    EXPECT_EQ(s.Say("one\r\n."), "");
    EXPECT_EQ(s.Say("\r\n"), "250 OK \r\n");
    EXPECT_EQ(s.session.DataBuffer, "one\r\n");
    EXPECT_TRUE(s.lineMode);
    // The recipients belonged to the message that ended: no message without new ones.
    EXPECT_EQ(s.Say("DATA\r\n"), "554 Transaction failed (invalid MAIL/RCPT or DATA)\r\n");
    s.Say("RCPT TO:<a@b.c>\r\n");
    EXPECT_EQ(s.Say("DATA\r\n"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(s.Say("..two\r\nQUIT\r\n.\r\n"), "250 OK \r\n");
    EXPECT_EQ(s.events.back(), "SendDataInit"); // QUIT in the message raised nothing
    EXPECT_EQ(s.session.DataBuffer, ".two\r\nQUIT\r\n");
    ASSERT_EQ(s.dataBlocks.size(), 3u);
    EXPECT_FALSE(s.dataBlocks[0].first);
    EXPECT_TRUE(s.dataBlocks[1].first);
    EXPECT_EQ(s.dataBlocks[2], std::make_pair(true, std::string(".two\r\nQUIT\r\n.\r\n")));
    EXPECT_TRUE(s.session.Recipients.empty());
    EXPECT_EQ(s.session.SessionState, TSmtpSessionState::ssCommands);
}

const std::string kTooBig = "552 Message size exceeds fixed maximum message size\r\n";

void StartMessage(FakeSession& s) {
    s.Ehlo();
    s.Say("RCPT TO:<a@b.c>\r\n");
    EXPECT_EQ(s.Say("DATA\r\n"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
}

TEST(DataPhaseTest, MessageOverTheLimitIsReadToItsEndAndRefused) {
    FakeSession s;
    s.messageSizeLimit = 10;
    StartMessage(s);
    EXPECT_EQ(s.Say("12345678\r\n"), "");
    EXPECT_EQ(s.Say("X\r\n"), "");
    EXPECT_EQ(s.Say("QUIT\r\n.\r"), "");
    EXPECT_EQ(s.Say("\n"), kTooBig);
    ASSERT_EQ(s.dataBlocks.size(), 1u); // nothing after the limit, not even the last part
    EXPECT_EQ(s.dataBlocks[0], std::make_pair(false, std::string("12345678\r\n")));
    EXPECT_EQ(s.session.DataBuffer, "12345678\r\n");
    ASSERT_EQ(s.dataEnds.size(), 1u);
    EXPECT_EQ(s.dataEnds[0], std::make_pair(true, kTooBig.substr(0, kTooBig.size() - 2)));
    EXPECT_EQ(s.session.SessionState, TSmtpSessionState::ssCommands);
    EXPECT_TRUE(s.lineMode);

    // The next message, exactly at the limit and with its end line split off, goes through.
    s.Say("RCPT TO:<a@b.c>\r\n");
    EXPECT_EQ(s.Say("DATA\r\n"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(s.Say("..2345678\r\n."), "");
    EXPECT_EQ(s.Say("\r\n"), "250 OK \r\n");
    EXPECT_EQ(s.session.DataBuffer, ".2345678\r\n");
    EXPECT_EQ(s.dataBlocks.back(), std::make_pair(true, std::string("\r\n")));
    EXPECT_EQ(s.dataEnds.back(), std::make_pair(false, std::string("250 OK ")));
}

TEST(DataPhaseTest, DataEndFollowsTheLastPartAndItsAnswerIsSent) {
    FakeSession s;
    s.onDataEnd = [&s](bool, std::string& answer) {
        ASSERT_FALSE(s.dataBlocks.empty());
        EXPECT_TRUE(s.dataBlocks.back().first);
        if (s.dataEnds.size() == 2) {
            answer = "451 Requested action aborted: local error in processing\r\n";
        }
    };
    StartMessage(s);
    EXPECT_EQ(s.Say("one\r\n.\r\n"), "250 OK \r\n");
    s.Say("RCPT TO:<a@b.c>\r\n");
    s.Say("DATA\r\n");
    EXPECT_EQ(s.Say("two\r\n.\r\n"), "451 Requested action aborted: local error in processing\r\n");
    EXPECT_EQ(s.dataEnds.size(), 2u);
    EXPECT_EQ(s.session.SessionState, TSmtpSessionState::ssCommands);
    EXPECT_EQ(s.Say("NOOP\r\n"), "250 OK\r\n");
}

TEST(DataPhaseTest, ADeferredAnswerHoldsTheSessionUntilItIsGiven) {
    FakeSession s;
    s.deferDataEnd = true;
    StartMessage(s);
    EXPECT_EQ(s.Say("one\r\n.\r\n"), "");
    EXPECT_TRUE(s.readingPaused);
    EXPECT_FALSE(s.lineMode);
    EXPECT_EQ(s.session.SessionState, TSmtpSessionState::ssData);
    const std::string localError = "451 Requested action aborted: local error in processing";
    s.processor.AnswerDataEnd(localError);
    EXPECT_TRUE(s.transcript.ends_with("\r\n" + localError + "\r\n"));
    EXPECT_FALSE(s.readingPaused);
    EXPECT_TRUE(s.lineMode);
    // Only the answer that is owed goes out: a second one, or one out of turn, is dropped.
    const std::size_t before = s.transcript.size();
    s.processor.AnswerDataEnd("250 OK ");
    EXPECT_EQ(s.transcript.size(), before);
    EXPECT_EQ(s.Say("NOOP\r\n"), "250 OK\r\n");
}

TEST(DataPhaseTest, WithoutDataBufferEveryBlockStillReachesOnSendData) {
    FakeSession s;
    s.keepDataBuffer = false;
    StartMessage(s);
    s.Say("..a\r\n");
    s.Say("b\r\n.\r\n");
    EXPECT_EQ(s.session.DataBuffer, "");
    ASSERT_EQ(s.dataBlocks.size(), 2u);
    EXPECT_EQ(s.dataBlocks[0], std::make_pair(false, std::string(".a\r\n")));
    EXPECT_EQ(s.dataBlocks[1], std::make_pair(true, std::string("b\r\n.\r\n")));
}

} // namespace
} // namespace lumenpost
