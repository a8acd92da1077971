#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumenpost {

// Which failures of the queue the user hears of: the first of a run with one cause, not
// every message, retry or data block that meets the same full or read-only disk again.
class QueueFaultFilter {
public:
    // True when `error` is news: the first failure since the queue last worked, or one
    // with another cause than the last reported.
    bool IsNews(std::string_view error);
    // Something was written to the queue: the next failure is news again.
    void Worked() { lastCause_.reset(); }

private:
    std::optional<std::string> lastCause_;
};

// What a queue error says went wrong, without the file it names: the system's reason at
// its end ("No space left on device"), or the whole text when it has none.
std::string_view FaultCause(std::string_view error);

} // namespace lumenpost
