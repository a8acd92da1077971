#include "delivery/md5.h"

#include <openssl/evp.h>

#include <array>
#include <stdexcept>

namespace lumenpost {
namespace {

constexpr std::size_t kDigestSize = 16;

const unsigned char* Octets(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

std::string DigestText(const std::array<unsigned char, kDigestSize>& digest) {
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

} // namespace

std::string Md5Digest(std::string_view octets) {
    std::array<unsigned char, kDigestSize> digest{};
    unsigned int size = 0;
    if (EVP_Digest(octets.data(), octets.size(), digest.data(), &size, EVP_md5(), nullptr) != 1 ||
        size != kDigestSize) {
        throw std::runtime_error("MD5 is not available from OpenSSL");
    }
    return DigestText(digest);
}

std::string HmacMd5(std::string_view message, std::string_view key) {
    std::array<unsigned char, kDigestSize> digest{};
    std::size_t size = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "MD5", nullptr, Octets(key), key.size(),
                  Octets(message), message.size(), digest.data(), digest.size(),
                  &size) == nullptr ||
        size != kDigestSize) {
        throw std::runtime_error("HMAC-MD5 is not available from OpenSSL");
    }
    return DigestText(digest);
}

} // namespace lumenpost
