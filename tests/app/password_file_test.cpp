#include "app/app_main.h"
#include "app/password_file.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace lumenpost {
namespace {

class PasswordFileTest : public ::testing::Test {
protected:
    // A file holding `text` with `mode`; its path.
    std::string Write(const std::string& text, mode_t mode) {
        const std::string path = folder_.filePath(QStringLiteral("password")).toStdString();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        chmod(path.c_str(), mode);
        return path;
    }

    QTemporaryDir folder_;
};

TEST_F(PasswordFileTest, FirstLineWithoutItsLineEnd) {
    for (const std::string text : {"s3 cret\n", "s3 cret\r\nsecond line\n", "s3 cret"}) {
        const PasswordFileRead read = ReadPasswordFile(QString::fromStdString(Write(text, 0600)));
        EXPECT_EQ(read.password, "s3 cret") << read.error.toStdString();
    }
    EXPECT_EQ(ReadPasswordFile(QString::fromStdString(Write("pw\n", 0400))).password, "pw");
}

TEST_F(PasswordFileTest, RefusedWhenOthersMayReadItOrItHoldsNoPassword) {
    for (const mode_t mode : {0640, 0604, 0644}) {
        const QString path = QString::fromStdString(Write("pw\n", mode));
        const PasswordFileRead read = ReadPasswordFile(path);
        EXPECT_FALSE(read.password) << mode;
        EXPECT_TRUE(read.error.contains(QStringLiteral("may be read by group or others")))
            << read.error.toStdString();
        EXPECT_TRUE(read.error.contains(QStringLiteral("chmod 600 ") + path));
    }
    EXPECT_TRUE(ReadPasswordFile(QString::fromStdString(Write("\nsecond\n", 0600)))
                    .error.contains(QStringLiteral("no password on its first line")));
    EXPECT_TRUE(ReadPasswordFile(folder_.filePath(QStringLiteral("missing")))
                    .error.contains(QStringLiteral("cannot be opened")));
    EXPECT_TRUE(ReadPasswordFile(folder_.path()).error.contains(QStringLiteral("not a regular")));
}

TEST_F(PasswordFileTest, StartEndsWithTheUsageStatusOrCarriesThePassword) {
    const auto start = [](const std::string& path) {
        std::string program = "lumenpost";
        std::string option = "--password-file=" + path;
        std::string headless = "--headless";
        char* argv[] = {program.data(), headless.data(), option.data(), nullptr};
        return ReadStart(3, argv, "0", false);
    };
    StartRequest request = start(Write("pw\n", 0644));
    EXPECT_EQ(request.exitStatus, kExitUsage);
    request = start(Write("pw\n", 0600));
    EXPECT_FALSE(request.exitStatus);
    EXPECT_EQ(request.options.relayPassword, "pw");
}

// The package's lumenpost-sendmail link starts the sendmail-style command with the same
// arguments; any other name is the relay.
TEST(ReadStartTest, TheSendmailNameMeansTheSendmailCommand) {
    std::string link = "/usr/bin/lumenpost-sendmail";
    std::string dashT = "-t";
    char* linkArgv[] = {link.data(), dashT.data(), nullptr};
    StartRequest request = ReadStart(2, linkArgv, "0", false);
    EXPECT_FALSE(request.exitStatus);
    ASSERT_TRUE(request.options.sendmail);
    EXPECT_TRUE(request.options.sendmail->recipientsFromHeader);

    std::string program = "/usr/bin/lumenpost";
    char* programArgv[] = {program.data(), dashT.data(), nullptr};
    request = ReadStart(2, programArgv, "0", false);
    EXPECT_FALSE(request.options.sendmail);
    EXPECT_TRUE(request.exitStatus); // -t means nothing to the relay
}

} // namespace
} // namespace lumenpost
