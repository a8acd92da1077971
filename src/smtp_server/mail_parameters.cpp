#include "smtp_server/mail_parameters.h"

#include "smtp_server/smtp_text.h"

#include <charconv>
#include <limits>

namespace lumenpost {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";
constexpr std::string_view kSizeKeyword = "SIZE=";

std::optional<std::uint64_t> DecimalValue(std::string_view digits) {
    const char* last = digits.data() + digits.size();
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), last, value);
    if (end != last || error == std::errc::invalid_argument) {
        return std::nullopt;
    }
    if (error == std::errc::result_out_of_range) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return value;
}

} // namespace

MailArgument SplitMailArgument(std::string_view argument) {
    const std::size_t close = argument.find('>');
    if (close == std::string_view::npos) {
        return {argument, {}};
    }
    return {argument.substr(0, close + 1), argument.substr(close + 1)};
}

std::optional<std::uint64_t> DeclaredSize(std::string_view parameters) {
    std::size_t start = parameters.find_first_not_of(kBlanks);
    while (start != std::string_view::npos) {
        const std::size_t end = parameters.find_first_of(kBlanks, start);
        const std::string_view word = parameters.substr(start, end - start);
        if (smtp_text::StartsWithNoCase(word, kSizeKeyword)) {
            if (auto size = DecimalValue(word.substr(kSizeKeyword.size()))) {
                return size;
            }
        }
        start = parameters.find_first_not_of(kBlanks, end);
    }
    return std::nullopt;
}

} // namespace lumenpost
