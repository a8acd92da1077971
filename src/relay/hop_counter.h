#pragma once

#include <string>
#include <string_view>

namespace lumenpost {

// A message that has passed more relays than this is looping (RFC 5321 hop counting).
inline constexpr int kMaxHops = 30;

// Counts the "Received:" fields in a message's header as its text streams by in CR LF
// lines, in pieces cut anywhere. Counting stops at the blank line that ends the header.
class HopCounter {
public:
    void Add(std::string_view text);
    int Hops() const { return hops_; }
    // Ready for the next message.
    void Reset() { *this = HopCounter(); }

private:
    void EndLine();

    // The first octets of the current line, as many as a name needs: enough to tell
    // a "Received:" field and a blank line.
    std::string lineStart_;
    bool inHeader_ = true;
    int hops_ = 0;
};

} // namespace lumenpost
