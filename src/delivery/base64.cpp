#include "delivery/base64.h"

#include <array>
#include <cstdint>

namespace lumenpost {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kPadding = 64;

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& value : table) {
        value = kPadding;
    }
    for (std::uint8_t i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = MakeDecodeTable();

std::uint8_t SixBitsAt(std::string_view text, std::size_t index) {
    if (index >= text.size()) {
        return kPadding;
    }
    return kDecodeTable[static_cast<unsigned char>(text[index])];
}

} // namespace

std::string TextToBase64(std::string_view octets) {
    std::string encoded;
    encoded.reserve((octets.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < octets.size(); i += 3) {
        const std::size_t count = octets.size() - i < 3 ? octets.size() - i : 3;
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            const auto octet = k < count ? static_cast<unsigned char>(octets[i + k]) : 0U;
            bits = (bits << 8) | octet;
        }
        for (std::size_t k = 0; k < 4; ++k) {
            encoded += k <= count ? kAlphabet[(bits >> (18 - 6 * k)) & 0x3F] : '=';
        }
    }
    return encoded;
}

std::string Base64ToText(std::string_view text) {
    std::string decoded;
    // A group starts only while its first character lies before the last one: a lone
    // trailing character carries less than one octet.
    for (std::size_t i = 0; i + 1 < text.size(); i += 4) {
        const std::uint8_t a = SixBitsAt(text, i);
        const std::uint8_t b = SixBitsAt(text, i + 1);
        const std::uint8_t c = SixBitsAt(text, i + 2);
        const std::uint8_t d = SixBitsAt(text, i + 3);
        decoded += static_cast<char>(((a & 0x3F) << 2) | ((b & 0x3F) >> 4));
        if (c != kPadding) {
            decoded += static_cast<char>(((b & 0x0F) << 4) | (c >> 2));
            if (d != kPadding) {
                decoded += static_cast<char>(((c & 0x03) << 6) | d);
            }
        }
    }
    return decoded;
}

} // namespace lumenpost
