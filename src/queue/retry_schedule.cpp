#include "queue/retry_schedule.h"

#include "platform/ascii_text.h"

#include <algorithm>
#include <charconv>

namespace lumenpost {

RetrySchedule::RetrySchedule() : delays_{60, 300, 900, 1800, 3600} {}

std::optional<RetrySchedule> RetrySchedule::Parse(std::string_view text) {
    RetrySchedule schedule;
    schedule.delays_.clear();
    for (;;) {
        const std::size_t comma = text.find(',');
        const std::string item = Trim(text.substr(0, comma));
        std::int64_t seconds = 0;
        const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), seconds);
        // from_chars takes a '-' sign: digits only, and then a value above zero.
        const bool digitsOnly = !item.empty() && item.front() != '-';
        if (!digitsOnly || error != std::errc() || end != item.data() + item.size() ||
            seconds <= 0) {
            return std::nullopt;
        }
        schedule.delays_.push_back(seconds);
        if (comma == std::string_view::npos) {
            return schedule;
        }
        text.remove_prefix(comma + 1);
    }
}

std::int64_t RetrySchedule::DelayAfter(int failures) const {
    const auto index = static_cast<std::size_t>(std::max(failures, 1)) - 1;
    return delays_[std::min(index, delays_.size() - 1)];
}

std::string RetrySchedule::ToString() const {
    std::string text;
    for (const std::int64_t delay : delays_) {
        if (!text.empty()) {
            text += ',';
        }
        text += std::to_string(delay);
    }
    return text;
}

} // namespace lumenpost
