#include "delivery/dot_stuffer.h"
#include "delivery/message_source.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <stdlib.h>

namespace lumenpost {
namespace {

// Every piece a source hands out, until it says there are no more.
std::vector<std::string> Pieces(MessageSource& source) {
    std::vector<std::string> pieces;
    std::string piece;
    // Bounded: a source that never ends must not hang the test.
    for (int i = 0; i < 1000 && source.Next(piece); ++i) {
        pieces.push_back(piece);
    }
    return pieces;
}

std::string Joined(const std::vector<std::string>& pieces) {
    std::string text;
    for (const std::string& piece : pieces) {
        text += piece;
    }
    return text;
}

// 150000 octets: two full pieces and a part.
std::string SampleText() {
    std::string text;
    for (int i = 0; text.size() < 150000; ++i) {
        text += "line " + std::to_string(i) + "\r\n";
    }
    text.resize(150000);
    return text;
}

class FileMessageSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "msgsrc.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string Written(const std::string& text) {
        const std::string path = (folder_ / "message").string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    std::filesystem::path folder_;
};

TEST_F(FileMessageSourceTest, ReadsTheFileInPiecesOfAtMost64KiB) {
    const std::string text = SampleText();
    FileMessageSource source(Written(text));
    ASSERT_TRUE(source.IsOpen());
    EXPECT_EQ(source.Size(), 150000);
    const std::vector<std::string> pieces = Pieces(source);
    ASSERT_EQ(pieces.size(), 3U);
    EXPECT_EQ(pieces[0].size(), kMessagePieceSize);
    EXPECT_EQ(pieces[1].size(), kMessagePieceSize);
    EXPECT_EQ(Joined(pieces), text);
    EXPECT_FALSE(source.Failed());
    // A second exchanger reads the whole text again, also after a partial read.
    ASSERT_TRUE(source.Rewind());
    std::string piece;
    ASSERT_TRUE(source.Next(piece));
    ASSERT_TRUE(source.Rewind());
    EXPECT_EQ(Joined(Pieces(source)), text);
}

TEST_F(FileMessageSourceTest, MissingFileAndReadErrorFail) {
    const std::string missing = (folder_ / "missing").string();
    FileMessageSource absent(missing);
    EXPECT_FALSE(absent.IsOpen());
    EXPECT_TRUE(absent.Failed());
    EXPECT_TRUE(Pieces(absent).empty());
    EXPECT_EQ(absent.ErrorText(), missing + ": No such file or directory");

    // A folder opens but cannot be read.
    FileMessageSource folder(folder_.string());
    EXPECT_FALSE(folder.Failed());
    EXPECT_TRUE(Pieces(folder).empty());
    EXPECT_TRUE(folder.Failed());
    EXPECT_EQ(folder.ErrorText(), "Is a directory");
}

TEST(DotStufferTest, BareLineFeedsStartLinesAndTheEndingCompletesTheLastLine) {
    TDotStuffer stuffer;
    std::string out;
    stuffer.Append("a\n.b\r", out);
    EXPECT_EQ(stuffer.Ending(), "\r\n.\r\n");
    stuffer.Append("\n", out);
    EXPECT_EQ(stuffer.Ending(), ".\r\n");
    stuffer.Append(".", out);
    EXPECT_EQ(out, "a\n..b\r\n..");
}

} // namespace
} // namespace lumenpost
