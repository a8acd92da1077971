#include "relay_app/autostart_entry.h"
#include "relay_app/settings_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

TEST(SettingsFileName, FollowsTheExecutablesFileName) {
    EXPECT_EQ(SettingsFileName("/usr/bin/lumenpost"), "lumenpost.ini");
    EXPECT_EQ(SettingsFileName("C:/tools/Relay.EXE"), "relay.ini");
    EXPECT_EQ(SettingsFileName("Copy.Exe"), "copy.ini");
    EXPECT_EQ(SettingsFileName("/opt/relay.2.bin"), "relay.2.ini");
    // Only a three-letter extension is replaced; anything else keeps its name.
    EXPECT_EQ(SettingsFileName("/opt/relay.v2"), "relay.v2.ini");
    EXPECT_EQ(SettingsFileName("/opt/Mail.Relay"), "mail.relay.ini");
}

TEST(SettingsFile, FirstStartWithoutAFileGivesTheDefaults) {
    QTemporaryDir dir;
    const RelaySettings settings = SettingsFile(dir.filePath("lumenpost.ini")).Read();
    EXPECT_EQ(settings, RelaySettings{});
    EXPECT_EQ(settings.dns, kDefaultDns);
    EXPECT_EQ(settings.postmaster, kDefaultPostmaster);
    EXPECT_FALSE(settings.autorun);
    EXPECT_FALSE(settings.automin);
    EXPECT_TRUE(settings.autobeep);
    EXPECT_TRUE(settings.autoback);
    EXPECT_FALSE(QFile::exists(dir.filePath("lumenpost.ini")));
}

TEST(SettingsFile, TextsSurviveAWriteExactlyAsTheyStand) {
    QTemporaryDir dir;
    const SettingsFile file(dir.filePath("lumenpost.ini"));
    for (const QString& text :
         {QString("8.8.8.8 "), QString(" 1.1.1.1"), QString("a,b"), QString("x;y=z # \"q\" \\n"),
          QString("管理员@例子.cn"), QString()}) {
        RelaySettings written;
        written.dns = text;
        written.postmaster = text + "@";
        written.autorun = true;
        written.autobeep = false;
        ASSERT_EQ(file.Write(written), std::nullopt);
        EXPECT_EQ(file.Read(), written) << text.toStdString();
    }
    const QByteArray ini = ReadAll(file.Path());
    EXPECT_TRUE(ini.startsWith("[config]\n")) << ini.toStdString();
    EXPECT_TRUE(ini.contains("autorun=1\n"));
    EXPECT_TRUE(ini.contains("autobeep=0\n"));
}

TEST(SettingsFile, AnyNonZeroIntegerChecksABox) {
    QTemporaryDir dir;
    const QString path = dir.filePath("lumenpost.ini");
    WriteAll(path, "[config]\ndns=9.9.9.9\nautorun=7\nautomin=-1\nautobeep=0\nautoback=no\n");
    const RelaySettings settings = SettingsFile(path).Read();
    EXPECT_EQ(settings.dns, "9.9.9.9");
    EXPECT_EQ(settings.postmaster, kDefaultPostmaster);
    EXPECT_TRUE(settings.autorun);
    EXPECT_TRUE(settings.automin);
    EXPECT_FALSE(settings.autobeep);
    EXPECT_FALSE(settings.autoback);
}

TEST(SettingsFile, AFolderThatCannotBeCreatedGivesTheWriteError) {
    QTemporaryDir dir;
    WriteAll(dir.filePath("config"), "a file where the folder should be");
    const QString path = dir.filePath("config/lumenpost.ini");
    EXPECT_EQ(SettingsFile(path).Write(RelaySettings{}), "Unable to write to " + path);
}

TEST(AutostartEntry, QuotesPathsThatTheEntryFormatWouldSplit) {
    EXPECT_EQ(AutostartEntry::ExecValue("/usr/bin/lumenpost"), "/usr/bin/lumenpost");
    EXPECT_EQ(AutostartEntry::ExecValue("/home/a b/lumenpost"), "\"/home/a b/lumenpost\"");
    EXPECT_EQ(AutostartEntry::ExecValue("/x/50%/lp"), "/x/50%%/lp");
    EXPECT_EQ(AutostartEntry::ExecValue("/x/\"q\"$/lp"), "\"/x/\\\\\"q\\\\\"\\\\$/lp\"");
    EXPECT_EQ(AutostartEntry::ExecValue("/x\\y/lp"), "\"/x\\\\\\\\y/lp\"");
}

TEST(AutostartEntry, AnUnwritableFolderGivesTheSetDataError) {
    QTemporaryDir dir;
    WriteAll(dir.filePath("autostart"), "a file where the folder should be");
    const AutostartEntry entry(dir.path(), "/usr/bin/lumenpost");
    EXPECT_EQ(entry.Apply(true), "Failed to set data for 'lumenpost'");
    EXPECT_EQ(entry.Apply(false), std::nullopt);
}

} // namespace
} // namespace lumenpost
