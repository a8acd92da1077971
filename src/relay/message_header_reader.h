#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The header of a message that a program of this machine hands over (RFC 5322): where it
// ends, its fields, the mailboxes of its address fields. Texts are octet strings; lines
// end in LF, with or without a CR before it. Nothing here reads outside its input or
// depends on the process locale.
namespace lumenpost {

// Where the header of a message ends.
struct HeaderBounds {
    std::size_t fieldsEnd = 0; // octets the header fields take, from the start
    std::size_t bodyStart = 0; // where the body starts: after the empty line, if there is one
    bool separated = false;    // an empty line ends the header

    bool operator==(const HeaderBounds&) const = default;
};

// The header is the run of field lines at the start of `text`: a line "name:" and the
// lines that continue it (starting with a blank or a tab). It ends at an empty line, at
// a line that is no field, or at the end of the text. With `complete` false more text
// may follow: nothing when `text` could still end inside the header.
std::optional<HeaderBounds> FindHeaderEnd(std::string_view text, bool complete);

// One header field as written.
struct HeaderField {
    std::string_view name; // without the colon and any blanks before it
    std::string_view text; // the whole field: name, body, continuation lines, line ends

    // The body after the colon, unfolded: every line end removed.
    std::string UnfoldedBody() const;
};

// The fields of `header` (the text up to HeaderBounds::fieldsEnd), in order.
std::vector<HeaderField> SplitHeaderFields(std::string_view header);

// The mailboxes of an address list (RFC 5322 3.4: mailboxes with or without display
// name, groups "name: a@b, c@d;", comments, quoted strings, obsolete routes and empty
// entries). Each address is its local part "@" its domain as written, without comments
// and white space: `Joe (work) <"j, d"@example.com>` gives `"j, d"@example.com`.
struct AddressList {
    std::vector<std::string> addresses;
    std::vector<std::string> unreadable; // entries that hold no mailbox, as written

    bool operator==(const AddressList&) const = default;
};
AddressList ParseAddressList(std::string_view body);

// What a submission needs to know of its header.
struct HeaderReading {
    std::string withoutBcc;              // the fields but the Bcc ones, byte for byte
    std::vector<std::string> recipients; // of the To, Cc and Bcc fields, in field order
    std::vector<std::string> unreadable; // "<field name>: <entry>" for entries without mailbox
    bool hasDate = false;
    bool hasMessageId = false;
};
HeaderReading ReadMessageHeader(std::string_view header);

} // namespace lumenpost
