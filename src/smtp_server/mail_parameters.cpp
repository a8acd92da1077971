#include "smtp_server/mail_parameters.h"

#include "platform/ascii_text.h"
#include "smtp_server/mail_address.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>

namespace lumenpost {
namespace {

constexpr std::string_view kBlanks = " \t";

std::optional<std::uint64_t> DecimalValue(std::string_view digits) {
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error == std::errc::result_out_of_range) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return value;
}

// esmtp-keyword = (ALPHA / DIGIT) *(ALPHA / DIGIT / "-"); esmtp-value = 1*(%d33-60 / %d62-126).
bool IsKeyword(std::string_view word) {
    if (word.empty() || word.front() == '-') {
        return false;
    }
    return std::all_of(word.begin(), word.end(),
                       [](char c) { return IsAsciiLetterOrDigit(c) || c == '-'; });
}

bool IsValue(std::string_view value) {
    for (const char c : value) {
        if (c < 33 || c > 126 || c == '=') {
            return false;
        }
    }
    return !value.empty();
}

// Where the ">" that ends a path opened at 0 stands, skipping quoted strings.
std::size_t PathEnd(std::string_view text) {
    bool quoted = false;
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (quoted && text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && text[i] == '>') {
            return i;
        }
    }
    return std::string_view::npos;
}

std::optional<std::vector<MailParameter>> SplitParameters(std::string_view text) {
    std::vector<MailParameter> parameters;
    std::size_t start = text.find_first_not_of(kBlanks);
    while (start != std::string_view::npos) {
        const std::size_t end = std::min(text.find_first_of(kBlanks, start), text.size());
        const std::string_view word = text.substr(start, end - start);
        const std::size_t equals = word.find('=');
        MailParameter parameter{word.substr(0, equals), std::nullopt};
        if (equals != std::string_view::npos) {
            parameter.value = word.substr(equals + 1);
            if (!IsValue(*parameter.value)) {
                return std::nullopt;
            }
        }
        if (!IsKeyword(parameter.keyword)) {
            return std::nullopt;
        }
        parameters.push_back(parameter);
        start = text.find_first_not_of(kBlanks, end);
    }
    return parameters;
}

bool SameKeyword(std::string_view a, std::string_view b) {
    return UpperAscii(a) == UpperAscii(b);
}

} // namespace

std::optional<PathArgument> SplitPathArgument(std::string_view argument) {
    std::string_view path;
    std::string_view rest;
    if (!argument.empty() && argument.front() == '<') {
        const std::size_t end = PathEnd(argument);
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        path = argument.substr(1, end - 1);
        rest = argument.substr(end + 1);
        if (!rest.empty() && kBlanks.find(rest.front()) == std::string_view::npos) {
            return std::nullopt; // "<a@b.c>x": no blank before the parameters
        }
    } else {
        const std::size_t end = std::min(argument.find_first_of(kBlanks), argument.size());
        path = argument.substr(0, end);
        rest = argument.substr(end);
    }
    if (path.size() + 2 > kMaxPath) {
        return std::nullopt;
    }
    auto parameters = SplitParameters(rest);
    if (!parameters) {
        return std::nullopt;
    }
    return PathArgument{path, std::move(*parameters)};
}

ParameterProblem ReadMailParameters(const std::vector<MailParameter>& parameters,
                                    MailOptions& options) {
    bool seenBody = false;
    bool seenAuth = false;
    for (const MailParameter& parameter : parameters) {
        const std::string keyword = UpperAscii(parameter.keyword);
        if (keyword == "SIZE") {
            if (options.size || !parameter.value ||
                !(options.size = DecimalValue(*parameter.value))) {
                return ParameterProblem::malformed;
            }
        } else if (keyword == "BODY") {
            if (seenBody || !parameter.value) {
                return ParameterProblem::malformed;
            }
            seenBody = true;
            if (!SameKeyword(*parameter.value, "7BIT") &&
                !SameKeyword(*parameter.value, "8BITMIME")) {
                return ParameterProblem::unsupported;
            }
        } else if (keyword == "SMTPUTF8") {
            if (options.utf8 || parameter.value) {
                return ParameterProblem::malformed;
            }
            options.utf8 = true;
        } else if (keyword == "AUTH") {
            if (seenAuth || !parameter.value) {
                return ParameterProblem::malformed;
            }
            seenAuth = true;
        } else {
            return ParameterProblem::unsupported;
        }
    }
    return ParameterProblem::none;
}

} // namespace lumenpost
