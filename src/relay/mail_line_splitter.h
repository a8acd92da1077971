#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lumenpost {

// Message lines: one octet string per line, without line ends (the form in which a
// message is relayed).
using MailLineList = std::vector<std::string>;

// Turns the data blocks of one message into message lines. Blocks are pieces of the
// received stream with no relation to line boundaries. CR LF, a bare LF and a bare CR
// each end one line, so that no bare line end ever reaches an exchanger. The server
// has already undone the dot transparency, so no dot is removed here.
class MailLineSplitter {
public:
    void AddBlock(std::string_view block);

    // Ends the message: an unterminated last line is kept, the client's end line "."
    // is dropped. The splitter is empty again afterwards.
    MailLineList Finish();

private:
    void EndLine();

    MailLineList lines_;
    std::string partial_;
    bool afterCr_ = false; // the last byte seen was a CR: a following LF belongs to it
};

} // namespace lumenpost
