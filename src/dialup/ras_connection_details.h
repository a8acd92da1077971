#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace lumenpost {

// Zero-terminated text in a field of fixed width; longer texts are cut so that the
// terminating zero always fits.
template <std::size_t Width> struct TZeroText {
    static_assert(Width > 0);
    std::array<char, Width> Bytes{};

    std::string_view Text() const { return {Bytes.data(), ::strnlen(Bytes.data(), Width)}; }

    void Assign(std::string_view text) {
        Bytes.fill('\0');
        const std::size_t length = std::min(text.size(), Width - 1);
        std::copy_n(text.data(), length, Bytes.data());
    }
};

// Length-prefixed text of at most 255 characters: one length byte, then the characters.
struct TShortString {
    std::uint8_t Length = 0;
    std::array<char, 255> Chars{};

    std::string_view Text() const { return {Chars.data(), Length}; }

    void Assign(std::string_view text) {
        Chars.fill('\0');
        Length = static_cast<std::uint8_t>(std::min<std::size_t>(text.size(), Chars.size()));
        std::copy_n(text.data(), Length, Chars.data());
    }
};

// What the dial-up monitor reports about the first active connection. The monitor keeps
// one record, zeroes it and refills it at every poll.
struct TRasConnectionDetails {
    std::uint32_t Handle = 0;
    TShortString Status;
    TZeroText<257> EntryName;
    TZeroText<17> DeviceType;
    TZeroText<129> DeviceName;
    TZeroText<16> IPAddress;
    TZeroText<16> ServerIPAddress;
};

static_assert(sizeof(TShortString) == 256);
static_assert(sizeof(TZeroText<257>) == 257 && sizeof(TZeroText<16>) == 16);

} // namespace lumenpost
