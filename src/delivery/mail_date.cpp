#include "delivery/mail_date.h"

#include <cstdio>
#include <cstdlib>

namespace lumenpost {

namespace {

// Fixed English names: a mail date is read by programs, not by the local user.
constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The weekday of a civil date (0 = Sunday), so a caller's tm_wday need not be filled.
int WeekdayOf(int year, int month, int day) {
    static constexpr int kMonthOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) {
        --year;
    }
    const int weekday =
        (year + year / 4 - year / 100 + year / 400 + kMonthOffsets[month - 1] + day) % 7;
    return weekday < 0 ? weekday + 7 : weekday;
}

} // namespace

std::string MailDateTime(const std::tm& local) {
    const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
    const int year = local.tm_year + 1900;
    const int weekday = WeekdayOf(year, month + 1, local.tm_mday);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d ", kDayNames[weekday],
                  local.tm_mday, kMonthNames[month], year, local.tm_hour, local.tm_min,
                  local.tm_sec);
    return text + ZoneSuffix();
}

std::string MailDateTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return MailDateTime(local);
}

std::string ZoneSuffix() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const long offsetMinutes = local.tm_gmtoff / 60;
    const long absolute = std::labs(offsetMinutes);
    char text[32];
    std::snprintf(text, sizeof text, "%c%02ld%02ld", offsetMinutes >= 0 ? '+' : '-', absolute / 60,
                  absolute % 60);
    return text;
}

} // namespace lumenpost
