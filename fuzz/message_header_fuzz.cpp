// The header reader of the sendmail-style command on arbitrary text: the fields cover the
// header exactly, dropping the Bcc fields keeps every other octet, and every recipient is
// a mailbox with an "@".
#include "relay/message_header_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

namespace {

bool IsBcc(std::string_view name) {
    return name.size() == 3 && std::tolower(static_cast<unsigned char>(name[0])) == 'b' &&
           std::tolower(static_cast<unsigned char>(name[1])) == 'c' &&
           std::tolower(static_cast<unsigned char>(name[2])) == 'c';
}

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenpost;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<HeaderBounds> bounds = FindHeaderEnd(text, true);
    Check(bounds.has_value());
    Check(bounds->fieldsEnd <= bounds->bodyStart && bounds->bodyStart <= size);
    const std::string_view header = text.substr(0, bounds->fieldsEnd);

    std::string joined;
    std::string kept;
    for (const HeaderField& field : SplitHeaderFields(header)) {
        joined += field.text;
        if (!IsBcc(field.name)) {
            kept += field.text;
        }
        ParseAddressList(field.UnfoldedBody());
    }
    Check(joined == header);

    const HeaderReading reading = ReadMessageHeader(header);
    Check(reading.withoutBcc == kept);
    Check(std::all_of(
        reading.recipients.begin(), reading.recipients.end(),
        [](const std::string& address) { return address.find('@') != std::string::npos; }));
    return 0;
}
