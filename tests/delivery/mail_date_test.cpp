#include "delivery/mail_date.h"

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace lumenpost {
namespace {

// Sets TZ for one scope and puts the previous value back.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            previous_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> previous_;
};

std::tm MakeLocal(int year, int month, int day, int hour, int minute, int second) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    return local;
}

TEST(MailDateTest, ZoneSuffixFollowsTheLocalZone) {
    {
        ScopedTimeZone zone("XST-5:30");
        EXPECT_EQ(ZoneSuffix(), "+0530");
    }
    {
        ScopedTimeZone zone("EST5");
        EXPECT_EQ(ZoneSuffix(), "-0500");
    }
    {
        ScopedTimeZone zone("UTC0");
        EXPECT_EQ(ZoneSuffix(), "+0000");
    }
}

TEST(MailDateTest, NamesStayEnglishUnderAGermanLocale) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        GTEST_SKIP() << "no German locale here; create one with: localedef -i de_DE -f UTF-8 "
                        "de_DE.UTF-8";
    }
    ScopedTimeZone zone("XST-8");
    const std::string march = MailDateTime(MakeLocal(2026, 3, 2, 7, 8, 9));
    const std::string december = MailDateTime(MakeLocal(2026, 12, 6, 23, 6, 12));
    std::setlocale(LC_ALL, previous.c_str());
    EXPECT_EQ(march, "Mon, 2 Mar 2026 07:08:09 +0800");
    EXPECT_EQ(december, "Sun, 6 Dec 2026 23:06:12 +0800");
}

} // namespace
} // namespace lumenpost
