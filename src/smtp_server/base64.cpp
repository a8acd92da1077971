#include "smtp_server/base64.h"

#include <array>
#include <cstdint>

namespace lumenpost {
namespace {

constexpr char kPadding = '=';
constexpr std::size_t kGroupSize = 4;

std::uint8_t SextetOf(char c) {
    if (c >= 'A' && c <= 'Z') {
        return static_cast<std::uint8_t>(c - 'A');
    }
    if (c >= 'a' && c <= 'z') {
        return static_cast<std::uint8_t>(c - 'a' + 26);
    }
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint8_t>(c - '0' + 52);
    }
    if (c == '+') {
        return 62;
    }
    if (c == kPadding) {
        return 0;
    }
    return 63; // '/' and every character outside the alphabet
}

void DecodeGroup(const std::array<char, kGroupSize>& group, std::string& out) {
    std::array<std::uint8_t, kGroupSize> v{};
    for (std::size_t i = 0; i < kGroupSize; ++i) {
        v[i] = SextetOf(group[i]);
    }
    out += static_cast<char>((v[0] << 2) | (v[1] >> 4));
    if (group[2] == kPadding) {
        return;
    }
    out += static_cast<char>(((v[1] & 0x0F) << 4) | (v[2] >> 2));
    if (group[3] != kPadding) {
        out += static_cast<char>(((v[2] & 0x03) << 6) | v[3]);
    }
}

} // namespace

std::string Base64Decode(std::string_view text) {
    std::string out;
    out.reserve(text.size() / kGroupSize * 3 + 3);
    for (std::size_t start = 0; start < text.size(); start += kGroupSize) {
        std::array<char, kGroupSize> group;
        group.fill(kPadding);
        const std::string_view chunk = text.substr(start, kGroupSize);
        if (chunk.size() == 1) {
            break; // six bits make no whole byte
        }
        std::copy(chunk.begin(), chunk.end(), group.begin());
        DecodeGroup(group, out);
    }
    return out;
}

} // namespace lumenpost
