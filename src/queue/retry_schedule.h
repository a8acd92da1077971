#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenpost {

// Seconds to wait after the 1st, 2nd, ... temporary failure of a recipient; the last
// delay repeats.
class RetrySchedule {
public:
    // The built-in schedule: 60,300,900,1800,3600.
    RetrySchedule();

    // A comma-separated list of positive whole seconds (blanks around items allowed);
    // nothing for anything else, including an empty list.
    static std::optional<RetrySchedule> Parse(std::string_view text);

    // The wait after failure number `failures` (1 for the first).
    std::int64_t DelayAfter(int failures) const;
    // The list as Parse reads it.
    std::string ToString() const;

    bool operator==(const RetrySchedule&) const = default;

private:
    std::vector<std::int64_t> delays_;
};

} // namespace lumenpost
