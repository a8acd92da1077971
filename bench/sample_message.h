// Message text for the micro benchmarks: 78-octet lines, every tenth one starting
// with a dot so that the dot steps have work to do.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace lumenpost::bench {

inline std::vector<std::string> SampleLines(std::size_t octets) {
    std::vector<std::string> lines;
    for (std::size_t total = 0; total < octets; total += 80) {
        std::string line(78, static_cast<char>('a' + lines.size() % 26));
        if (lines.size() % 10 == 0) {
            line[0] = '.';
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// The lines joined with CR LF, as they travel.
inline std::string SampleText(std::size_t octets) {
    std::string text;
    for (const std::string& line : SampleLines(octets)) {
        text += line;
        text += "\r\n";
    }
    return text;
}

} // namespace lumenpost::bench
