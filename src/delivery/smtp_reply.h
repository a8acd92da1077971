#pragma once

#include <cstdint>
#include <string_view>

// Reading the parts of SMTP reply lines.
namespace lumenpost {

// The enhanced status code class.subject.detail (RFC 1893); all 0 when absent.
struct TEnhancedStatus {
    std::int32_t Class = 0;
    std::int32_t Subject = 0;
    std::int32_t Detail = 0;
};

// True when the reply goes on after `line`: its first "-" is its fourth character.
bool ReplyLineContinues(std::string_view line);

// The three leading digits of `line`; 0 when there are no three digits.
std::int32_t ReplyCodeOf(std::string_view line);

// The enhanced status code after the reply code of `line`.
TEnhancedStatus EnhancedStatusOf(std::string_view line);

} // namespace lumenpost
