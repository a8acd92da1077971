#include "delivery/smtp_reply.h"

#include "delivery/text_helpers.h"

namespace lumenpost {

namespace {

constexpr std::size_t kCodeLength = 3;
constexpr std::size_t kTextStart = 4;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A subject or detail part: one to three characters, 0 when they are not a number.
bool ReadStatusPart(const std::string& part, std::int32_t& value) {
    if (part.empty() || part.size() > 3) {
        return false;
    }
    value = DecimalToInt32(part).value_or(0);
    return true;
}

} // namespace

bool ReplyLineContinues(std::string_view line) {
    return line.find('-') == kCodeLength;
}

std::int32_t ReplyCodeOf(std::string_view line) {
    if (line.size() < kCodeLength || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) {
        return 0;
    }
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

TEnhancedStatus EnhancedStatusOf(std::string_view line) {
    const std::string_view text = line.size() > kTextStart ? line.substr(kTextStart) : "";
    const std::string classPart = TextBefore(text, ".");
    const std::string afterClass = TextAfter(text, ".");
    const std::string subjectPart = TextBefore(afterClass, ".");
    const std::string detailPart = TextBefore(TextAfter(afterClass, "."), " ");
    TEnhancedStatus status;
    if (classPart.size() != 1 || !IsDigit(classPart[0]) || classPart[0] == '0' ||
        !ReadStatusPart(subjectPart, status.Subject) ||
        !ReadStatusPart(detailPart, status.Detail)) {
        return {};
    }
    status.Class = classPart[0] - '0';
    return status;
}

} // namespace lumenpost
