// MAIL and RCPT arguments on arbitrary text: the split never reaches outside its input,
// and whatever passes as a mailbox keeps within the length limits and has its "@".
#include "smtp_server/mail_address.h"
#include "smtp_server/mail_parameters.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenpost;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto argument = SplitPathArgument(text);
    if (!argument) {
        return 0;
    }
    if (argument->address.size() + 2 > kMaxPath || argument->address.size() > size) {
        std::abort();
    }
    MailOptions options;
    const ParameterProblem problem = ReadMailParameters(argument->parameters, options);
    for (const bool utf8 : {false, true}) {
        if (IsMailbox(argument->address, utf8) &&
            MailboxDomain(argument->address).size() > kMaxDomain) {
            std::abort();
        }
    }
    // SMTPUTF8 is only ever read from a parameter.
    if (problem == ParameterProblem::none && options.utf8 && argument->parameters.empty()) {
        std::abort();
    }
    return 0;
}
