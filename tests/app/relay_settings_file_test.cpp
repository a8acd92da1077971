#include "app/relay_settings_file.h"
#include "file_bytes.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

TEST(RelaySettingsFile, FirstStartWithoutAFileGivesTheDefaults) {
    QTemporaryDir dir;
    const RelaySettings settings = RelaySettingsFile(dir.filePath("lumenpost.ini")).Read();
    EXPECT_EQ(settings, RelaySettings{});
    EXPECT_EQ(settings.dns, kDefaultDns);
    EXPECT_EQ(settings.postmaster, kDefaultPostmaster);
    EXPECT_FALSE(settings.autorun);
    EXPECT_FALSE(settings.automin);
    EXPECT_TRUE(settings.autobeep);
    EXPECT_TRUE(settings.autoback);
    EXPECT_FALSE(QFile::exists(dir.filePath("lumenpost.ini")));
}

TEST(RelaySettingsFile, TextsSurviveAWriteExactlyAsTheyStand) {
    QTemporaryDir dir;
    const RelaySettingsFile file(dir.filePath("lumenpost.ini"));
    for (const QString& text :
         {QString("8.8.8.8 "), QString(" 1.1.1.1"), QString("a,b"), QString("x;y=z # \"q\" \\n"),
          QString("管理员@例子.cn"), QString()}) {
        RelaySettings written;
        written.dns = text;
        written.postmaster = text + "@";
        written.autorun = true;
        written.autobeep = false;
        written.relayuser = text;
        ASSERT_EQ(file.Write(written), std::nullopt);
        EXPECT_EQ(file.Read(), written) << text.toStdString();
    }
    const QByteArray ini = ReadAll(file.Path());
    EXPECT_TRUE(ini.startsWith("[config]\n")) << ini.toStdString();
    EXPECT_TRUE(ini.contains("autorun=1\n"));
    EXPECT_TRUE(ini.contains("autobeep=0\n"));
}

TEST(RelaySettingsFile, AnyNonZeroIntegerChecksABox) {
    QTemporaryDir dir;
    const QString path = dir.filePath("lumenpost.ini");
    WriteAll(path, "[config]\ndns=9.9.9.9\nautorun=7\nautomin=-1\nautobeep=0\nautoback=no\n");
    const RelaySettings settings = RelaySettingsFile(path).Read();
    EXPECT_EQ(settings.dns, "9.9.9.9");
    EXPECT_EQ(settings.postmaster, kDefaultPostmaster);
    EXPECT_TRUE(settings.autorun);
    EXPECT_TRUE(settings.automin);
    EXPECT_FALSE(settings.autobeep);
    EXPECT_FALSE(settings.autoback);
}

TEST(RelaySettingsFile, AFolderThatCannotBeCreatedGivesTheWriteError) {
    QTemporaryDir dir;
    WriteAll(dir.filePath("config"), "a file where the folder should be");
    const QString path = dir.filePath("config/lumenpost.ini");
    EXPECT_EQ(RelaySettingsFile(path).Write(RelaySettings{}), "Unable to write to " + path);
}

TEST(RelaySettingsFile, TlsPolicyIsReadWrittenAndDefaultsWhenUnknown) {
    QTemporaryDir dir;
    const RelaySettingsFile file(dir.filePath("lumenpost.ini"));
    for (const TlsPolicy policy : {TlsPolicy::none, TlsPolicy::may, TlsPolicy::encrypt}) {
        RelaySettings written;
        written.tls = policy;
        ASSERT_EQ(file.Write(written), std::nullopt);
        EXPECT_EQ(file.Read().tls, policy);
    }
    const auto readBack = [&](const char* value) {
        QFile ini(file.Path());
        EXPECT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(QByteArray("[config]\ntls=") + value + "\n");
        ini.close();
        return file.Read().tls;
    };
    EXPECT_EQ(readBack(" Encrypt "), TlsPolicy::encrypt);
    EXPECT_EQ(readBack("always"), TlsPolicy::may);
    EXPECT_EQ(readBack(""), TlsPolicy::may);
}

} // namespace
} // namespace lumenpost
