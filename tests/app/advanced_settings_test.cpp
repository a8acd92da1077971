#include "app/advanced_settings.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

TEST(AdvancedSettings, TypedValuesAreAppliedInTheirUnits) {
    AdvancedSettingsText text = AdvancedSettingsText::From(RelaySettings{});
    EXPECT_EQ(text.maxsizeMiB, "50");
    EXPECT_EQ(text.queuelifeHours, "96");
    EXPECT_EQ(text.tls, "may");
    text.maxsizeMiB = " 10 ";
    text.deliveries = "64";
    text.retry = "30, 60";
    text.queuelifeHours = "0";
    text.tls = "encrypt";
    text.relayhost = " smtp.example.com:465 ";
    text.relayuser = " 张三@example.com ";
    const AdvancedSettingsCheck check = CheckAdvancedSettings(text, RelaySettings{});
    ASSERT_TRUE(check.errors.empty());
    ASSERT_TRUE(check.settings);
    EXPECT_EQ(check.settings->maxsize, 10 * kMiB);
    EXPECT_EQ(check.settings->deliveries, 64);
    EXPECT_EQ(check.settings->retry.ToString(), "30,60");
    EXPECT_EQ(check.settings->queuelife, 0);
    EXPECT_EQ(check.settings->tls, TlsPolicy::encrypt);
    EXPECT_EQ(check.settings->relayhost, "smtp.example.com:465");
    EXPECT_EQ(check.settings->relayuser, "张三@example.com");
}

TEST(AdvancedSettings, ValuesLeftAsShownKeepTheirExactValue) {
    RelaySettings base;
    base.maxsize = 1000;   // shown as 1 MiB
    base.queuelife = 5400; // shown as 1 hour
    const AdvancedSettingsCheck check =
        CheckAdvancedSettings(AdvancedSettingsText::From(base), base);
    ASSERT_TRUE(check.settings);
    EXPECT_EQ(*check.settings, base);
}

TEST(AdvancedSettings, EveryWrongFieldGetsItsOwnMessageAndNothingIsApplied) {
    AdvancedSettingsText text = AdvancedSettingsText::From(RelaySettings{});
    text.maxsizeMiB = "0";
    text.deliveries = "65";
    text.retry = "60,,300";
    text.queuelifeHours = "-1";
    text.tls = "always";
    text.relayhost = "smtp.example.com:70000";
    text.relayuser = "a\tb";
    const AdvancedSettingsCheck check = CheckAdvancedSettings(text, RelaySettings{});
    EXPECT_FALSE(check.settings);
    EXPECT_EQ(check.errors.size(), 7u);
    EXPECT_TRUE(check.errors.at(AdvancedField::deliveries).contains("1 到 64"));
    for (const char* host : {"-bad.example", "a b", "host:", "[::1]:25x", "x..y"}) {
        text = AdvancedSettingsText::From(RelaySettings{});
        text.relayhost = host;
        EXPECT_EQ(
            CheckAdvancedSettings(text, RelaySettings{}).errors.count(AdvancedField::relayhost), 1u)
            << host;
    }
    for (const char* host : {"", "smtp.example.com", "192.0.2.1:587", "[2001:db8::1]:465"}) {
        text.relayhost = host;
        EXPECT_TRUE(CheckAdvancedSettings(text, RelaySettings{}).settings) << host;
    }
}

} // namespace
} // namespace lumenpost
