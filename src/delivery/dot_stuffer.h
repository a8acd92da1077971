#pragma once

#include <string>
#include <string_view>

namespace lumenpost {

// Dot transparency for message text handed over in pieces: a '.' at the start of a line
// is doubled, also when the line starts on a piece border. A line starts after every LF,
// so that a receiver lenient about bare LF cannot find an end line inside the text.
class TDotStuffer {
public:
    // Appends `piece`, stuffed, to `out`.
    void Append(std::string_view piece, std::string& out);
    // What ends the data after the text: ".\r\n", with CR LF in front when the text so
    // far does not end with one.
    std::string_view Ending() const;

private:
    // The last two octets so far; the empty text counts as ending a line.
    char beforeLast_ = '\r';
    char last_ = '\n';
};

} // namespace lumenpost
