#pragma once

#include <ctime>
#include <string>

namespace lumenpost {

// "ddd, d mmm yyyy hh:nn:ss" with English day and month names whatever the locale,
// then a blank and ZoneSuffix(): Sun, 6 Dec 2026 23:06:12 +0800.
std::string MailDateTime(const std::tm& local);

// The current local date and time in MailDateTime's form.
std::string MailDateTimeNow();

// The local offset from UTC, east positive, as "+hhmm" or "-hhmm".
std::string ZoneSuffix();

} // namespace lumenpost
