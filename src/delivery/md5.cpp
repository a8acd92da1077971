#include "delivery/md5.h"

#include <array>
#include <cstdint>

namespace lumenpost {

namespace {

constexpr std::size_t kBlockSize = 64;

// Per-step left rotations, four per round.
constexpr std::array<std::uint32_t, 16> kShifts = {7, 12, 17, 22, 5, 9,  14, 20,
                                                   4, 11, 16, 23, 6, 10, 15, 21};

// floor(abs(sin(i + 1)) * 2^32), written out so the digest never depends on libm.
constexpr std::array<std::uint32_t, 64> kSines = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

std::uint32_t RotateLeft(std::uint32_t value, std::uint32_t count) {
    return (value << count) | (value >> (32 - count));
}

class Md5State {
public:
    void Absorb(const unsigned char* block) {
        std::array<std::uint32_t, 16> words{};
        for (std::size_t i = 0; i < 16; ++i) {
            words[i] = static_cast<std::uint32_t>(block[i * 4]) |
                       static_cast<std::uint32_t>(block[i * 4 + 1]) << 8 |
                       static_cast<std::uint32_t>(block[i * 4 + 2]) << 16 |
                       static_cast<std::uint32_t>(block[i * 4 + 3]) << 24;
        }
        std::uint32_t a = state_[0];
        std::uint32_t b = state_[1];
        std::uint32_t c = state_[2];
        std::uint32_t d = state_[3];
        for (std::uint32_t step = 0; step < 64; ++step) {
            std::uint32_t mix = 0;
            std::uint32_t word = 0;
            switch (step / 16) {
            case 0:
                mix = (b & c) | (~b & d);
                word = step;
                break;
            case 1:
                mix = (d & b) | (~d & c);
                word = (5 * step + 1) % 16;
                break;
            case 2:
                mix = b ^ c ^ d;
                word = (3 * step + 5) % 16;
                break;
            default:
                mix = c ^ (b | ~d);
                word = (7 * step) % 16;
                break;
            }
            const std::uint32_t next = d;
            d = c;
            c = b;
            b += RotateLeft(a + mix + kSines[step] + words[word],
                            kShifts[(step / 16) * 4 + step % 4]);
            a = next;
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
    }

    std::string Digest() const {
        std::string digest;
        for (const std::uint32_t word : state_) {
            for (int shift = 0; shift < 32; shift += 8) {
                digest += static_cast<char>((word >> shift) & 0xFF);
            }
        }
        return digest;
    }

private:
    std::array<std::uint32_t, 4> state_ = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
};

// The message, a 0x80 octet, zeros up to 56 mod 64, then the bit length (little-endian).
std::string PadMessage(std::string_view octets) {
    std::string padded(octets);
    padded += static_cast<char>(0x80);
    while (padded.size() % kBlockSize != kBlockSize - 8) {
        padded += '\0';
    }
    const std::uint64_t bits = static_cast<std::uint64_t>(octets.size()) * 8;
    for (int shift = 0; shift < 64; shift += 8) {
        padded += static_cast<char>((bits >> shift) & 0xFF);
    }
    return padded;
}

std::string XorPad(std::string_view key, unsigned char pattern) {
    std::string pad(kBlockSize, static_cast<char>(pattern));
    for (std::size_t i = 0; i < key.size(); ++i) {
        pad[i] = static_cast<char>(static_cast<unsigned char>(key[i]) ^ pattern);
    }
    return pad;
}

} // namespace

std::string Md5Digest(std::string_view octets) {
    const std::string padded = PadMessage(octets);
    Md5State state;
    for (std::size_t offset = 0; offset < padded.size(); offset += kBlockSize) {
        state.Absorb(reinterpret_cast<const unsigned char*>(padded.data() + offset));
    }
    return state.Digest();
}

std::string HmacMd5(std::string_view message, std::string_view key) {
    const std::string shortKey = key.size() > kBlockSize ? Md5Digest(key) : std::string(key);
    std::string inner = XorPad(shortKey, 0x36);
    inner += message;
    std::string outer = XorPad(shortKey, 0x5C);
    outer += Md5Digest(inner);
    return Md5Digest(outer);
}

} // namespace lumenpost
