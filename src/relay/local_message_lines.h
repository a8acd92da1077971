#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumenpost {

// Turns a message as a program of this machine writes it (lines ended by LF or CR LF)
// into the queue's form, every line ended by CR LF; a bare CR ends a line too, so no
// bare line end is ever queued. Text already in that form passes unchanged. With
// `dotEnds` a line of a single "." ends the message, as the traditional command's input
// does; the line itself is not part of the message. Holds back at most one dot.
class LocalMessageLines {
public:
    explicit LocalMessageLines(bool dotEnds) : dotEnds_(dotEnds) {}

    // Appends the queue's form of `block` to `out`. Returns how many octets of `block`
    // belong to the message: all of them, or fewer once the end line was found.
    std::size_t Add(std::string_view block, std::string& out);
    // The end of the input: an unterminated last line gets its CR LF.
    void Finish(std::string& out);

    // A "." line ended the message; what follows it is not read.
    bool Ended() const { return ended_; }
    // A NUL octet came: the message is not text.
    bool SawNul() const { return sawNul_; }

private:
    // Takes one octet; false when it ended the message.
    bool Take(char c, std::string& out);

    bool dotEnds_;
    bool lineStart_ = true;
    bool afterCr_ = false; // a LF right now belongs to the CR before it
    bool heldDot_ = false; // the line so far is a lone "." (only with dotEnds_)
    bool ended_ = false;
    bool sawNul_ = false;
};

} // namespace lumenpost
