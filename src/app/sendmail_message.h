#pragma once

#include "platform/unique_fd.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lumenpost {

// How a message read for --sendmail is to be written.
struct ComposeOptions {
    bool dotEnds = true;      // a "." line ends the input
    std::int64_t maxSize = 0; // octets of the text written, at most
    std::string domain;       // for a Message-ID of ours: "<unique@domain>"
};

// Why no message was composed.
enum class ComposeFault {
    none,
    notText,  // a NUL octet, or a header too long to be one
    tooLarge, // more than maxSize octets
    input,    // the input could not be read
    local     // no memory file to write to
};

struct ComposedMessage {
    UniqueFd file; // a sealed memory file with the text, CR LF line ends
    // The addresses of the To, Cc and Bcc fields, and their entries without one.
    std::vector<std::string> headerRecipients;
    std::vector<std::string> unreadable;
    ComposeFault fault = ComposeFault::none;
    std::string error; // with a fault: what went wrong and what to do
};

// Reads a message from `input` up to its end (or its "." line) into a sealed memory file:
// line ends made CR LF, Bcc fields removed, Date (local time) and Message-ID added at the
// end of the header when missing. Memory stays bounded: only the header is held, at most
// kLongestHeader octets of it.
ComposedMessage ComposeMessage(int input, const ComposeOptions& options);

inline constexpr std::size_t kLongestHeader = 1024 * 1024;

} // namespace lumenpost
