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
};

ReadResult ReadInBlocks(const std::vector<std::string>& blocks) {
    MessageDataReader reader;
    reader.Start();
    ReadResult result;
    for (const std::string& block : blocks) {
        if (block.empty()) {
            continue; // the session never hands an empty read on
        }
        const MessageDataReader::Block part = reader.Take(block);
        result.text += part.text;
        result.lastParts += part.lastPart ? 1 : 0;
        result.lastPartOnFinalBlock = part.lastPart;
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

TEST(MessageDataReaderTest, MarkerIsFoundOnlyWhenItEndsTheReceivedData) {
    EXPECT_EQ(ReadInBlocks({"a\r\n.\r\nMAIL FROM:<a@b.c>\r\n"}).lastParts, 0);
    EXPECT_EQ(ReadInBlocks({".\r\n"}).lastParts, 1); // right after DATA: an empty message
    EXPECT_EQ(ReadInBlocks({"a\r\n.", "\r\n"}).lastParts, 1);
    EXPECT_EQ(ReadInBlocks({"a\r\n", ".\r", "\n"}).lastParts, 1);
}

TEST(DataPhaseTest, SecondMessageKeepsRecipientsAndStartsClean) {
    FakeSession s;
    s.Ehlo();
    s.Say("RCPT TO:<a@b.c>\r\n");
    s.Say("DATA\r\n");
    EXPECT_FALSE(s.lineMode);
    EXPECT_EQ(s.Say("one\r\n."), "");
    EXPECT_EQ(s.Say("\r\n"), "250 OK \r\n");
    EXPECT_EQ(s.session.DataBuffer, "one\r\n");
    EXPECT_TRUE(s.lineMode);
    EXPECT_EQ(s.Say("DATA\r\n"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(s.Say("..two\r\nQUIT\r\n.\r\n"), "250 OK \r\n");
    EXPECT_EQ(s.events.back(), "SendDataInit"); // QUIT in the message raised nothing
    EXPECT_EQ(s.session.DataBuffer, ".two\r\nQUIT\r\n");
    ASSERT_EQ(s.dataBlocks.size(), 3u);
    EXPECT_FALSE(s.dataBlocks[0].first);
    EXPECT_TRUE(s.dataBlocks[1].first);
    EXPECT_EQ(s.dataBlocks[2], std::make_pair(true, std::string(".two\r\nQUIT\r\n.\r\n")));
    EXPECT_EQ(s.session.Recipients.size(), 1u);
    EXPECT_EQ(s.session.SessionState, TSmtpSessionState::ssCommands);
}

} // namespace
} // namespace lumenpost
