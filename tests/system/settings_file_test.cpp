#include "system/autostart_entry.h"
#include "system/settings_file.h"

#include "file_bytes.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

TEST(SettingsFileName, FollowsTheExecutablesFileName) {
    EXPECT_EQ(SettingsFileName("/usr/bin/lumenpost"), "lumenpost.ini");
    EXPECT_EQ(SettingsFileName("C:/tools/Relay.EXE"), "relay.ini");
    EXPECT_EQ(SettingsFileName("Copy.Exe"), "copy.ini");
    EXPECT_EQ(SettingsFileName("/opt/relay.2.bin"), "relay.2.ini");
    // Only a three-letter extension is replaced; anything else keeps its name.
    EXPECT_EQ(SettingsFileName("/opt/relay.v2"), "relay.v2.ini");
    EXPECT_EQ(SettingsFileName("/opt/Mail.Relay"), "mail.relay.ini");
}

TEST(SettingsFile, HandEditedValuesReadBackAsOneTextAndFlagsAsIntegers) {
    QTemporaryDir dir;
    const QString path = dir.filePath("lumenpost.ini");
    WriteAll(path, "[config]\ndns=1.1.1.1, 8.8.8.8\non=2\noff=0\nword=yes\n");
    const SettingsFile file(path);
    EXPECT_EQ(file.Text("config/dns", "x"), "1.1.1.1, 8.8.8.8");
    EXPECT_EQ(file.Text("config/missing", "fallback"), "fallback");
    EXPECT_TRUE(file.Flag("config/on", false));
    EXPECT_FALSE(file.Flag("config/off", true));
    EXPECT_FALSE(file.Flag("config/word", true)); // not a number: off
    EXPECT_TRUE(file.Flag("config/missing", true));
    ASSERT_EQ(file.Write({{"config/on", SettingsFile::FlagValue(false)}, {"config/new", "v"}}),
              std::nullopt);
    EXPECT_FALSE(file.Flag("config/on", true));
    EXPECT_EQ(file.Text("config/new", ""), "v");
    EXPECT_EQ(file.Text("config/dns", ""), "1.1.1.1, 8.8.8.8");
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
