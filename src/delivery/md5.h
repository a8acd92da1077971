#pragma once

#include <string>
#include <string_view>

namespace lumenpost {

// The 16 raw octets of the MD5 digest (RFC 1321).
std::string Md5Digest(std::string_view octets);

// HMAC-MD5 (RFC 2104, 64-octet block) of `message` under `key`, 16 raw octets.
std::string HmacMd5(std::string_view message, std::string_view key);

} // namespace lumenpost
