#include "relay/queue_fault_filter.h"

namespace lumenpost {

std::string_view FaultCause(std::string_view error) {
    // The queue's texts are "<what> <path>: <reason>"; the path changes with each message.
    const std::size_t colon = error.rfind(": ");
    return colon == std::string_view::npos ? error : error.substr(colon + 2);
}

bool QueueFaultFilter::IsNews(std::string_view error) {
    const std::string_view cause = FaultCause(error);
    if (lastCause_ == cause) {
        return false;
    }
    lastCause_ = std::string(cause);
    return true;
}

} // namespace lumenpost
