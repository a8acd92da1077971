// The input layout shared by the stream targets: the first byte seeds the generator
// that draws block sizes and choices, the rest is the byte stream itself. A seed file
// is therefore one byte followed by plain protocol text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumenpost::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size)
        : state_(size > 0 ? data[0] * 0x9E3779B9u + 1u : 1u),
          stream_(size > 0 ? reinterpret_cast<const char*>(data) + 1 : "", size > 0 ? size - 1 : 0),
          rest_(stream_) {}

    // The whole stream after the seed byte.
    std::string_view Stream() const { return stream_; }
    bool AtEnd() const { return rest_.empty(); }

    // Next block of the stream: mostly small, now and then large, never empty unless
    // the stream is used up.
    std::string_view NextBlock() {
        const std::size_t size = Chance(8) ? 1 + Draw() % 4096 : 1 + Draw() % 24;
        const std::string_view block = rest_.substr(0, size);
        rest_.remove_prefix(block.size());
        return block;
    }

    // Next line of the stream up to and including its CR LF (or the rest), as the
    // line layer delivers it.
    std::string_view NextLine() {
        const std::size_t end = rest_.find("\r\n");
        const std::size_t size = end == std::string_view::npos ? rest_.size() : end + 2;
        const std::string_view line = rest_.substr(0, size);
        rest_.remove_prefix(size);
        return line;
    }

    // True once in `n` draws on average.
    bool Chance(std::uint32_t n) { return Draw() % n == 0; }

    std::uint32_t Draw() {
        // xorshift32: cheap, and the same seed byte always gives the same cuts.
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

private:
    std::uint32_t state_;
    std::string_view stream_;
    std::string_view rest_;
};

} // namespace lumenpost::fuzz
