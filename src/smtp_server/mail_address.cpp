#include "smtp_server/mail_address.h"

#include "platform/ascii_text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <string>

namespace lumenpost {
namespace {

constexpr std::size_t kMaxLabel = 63;
constexpr std::string_view kAtextSpecials = "!#$%&'*+-/=?^_`{|}~";
constexpr std::string_view kIpv6Tag = "IPv6:";

// Octets of a multi-octet UTF-8 sequence pass here one by one; the whole text was checked
// for well-formed UTF-8 before.
bool IsAtext(unsigned char c, bool utf8) {
    return IsAsciiLetterOrDigit(static_cast<char>(c)) ||
           kAtextSpecials.find(static_cast<char>(c)) != std::string_view::npos ||
           (utf8 && c >= 0x80);
}

// Length of the well-formed UTF-8 sequence starting at `text[at]`, or 0.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

bool IsWellFormedUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
        } else if (const std::size_t length = Utf8SequenceLength(text, at); length > 0) {
            at += length;
        } else {
            return false;
        }
    }
    return true;
}

bool IsDotString(std::string_view local, bool utf8) {
    bool atomStart = true;
    for (const char c : local) {
        if (c == '.') {
            if (atomStart) {
                return false; // leading or doubled dot
            }
            atomStart = true;
        } else if (IsAtext(static_cast<unsigned char>(c), utf8)) {
            atomStart = false;
        } else {
            return false;
        }
    }
    return !atomStart; // not empty, no trailing dot
}

bool IsQuotedString(std::string_view local, bool utf8) {
    if (local.size() < 2 || local.front() != '"' || local.back() != '"') {
        return false;
    }
    const std::string_view inside = local.substr(1, local.size() - 2);
    for (std::size_t i = 0; i < inside.size(); ++i) {
        const auto c = static_cast<unsigned char>(inside[i]);
        if (c == '\\') {
            // A quoted pair: backslash and one printable ASCII character.
            if (++i == inside.size() || inside[i] < 32 || inside[i] > 126) {
                return false;
            }
        } else if (c == '"' || (c < 32) || c == 127 || (c >= 0x80 && !utf8)) {
            return false;
        }
    }
    return true;
}

bool IsHostName(std::string_view domain, bool utf8) {
    std::size_t labelStart = 0;
    for (std::size_t i = 0; i <= domain.size(); ++i) {
        if (i < domain.size() && domain[i] != '.') {
            const auto c = static_cast<unsigned char>(domain[i]);
            if (!IsAsciiLetterOrDigit(static_cast<char>(c)) && c != '-' && !(utf8 && c >= 0x80)) {
                return false;
            }
            continue;
        }
        const std::string_view label = domain.substr(labelStart, i - labelStart);
        if (label.empty() || label.size() > kMaxLabel || label.front() == '-' ||
            label.back() == '-') {
            return false;
        }
        labelStart = i + 1;
    }
    return true;
}

bool IsIpv4Literal(std::string_view text) {
    int parts = 0;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find('.', at), text.size());
        const std::string_view part = text.substr(at, end - at);
        if (part.empty() || part.size() > 3 ||
            part.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stoi(std::string(part)) > 255) {
            return false;
        }
        ++parts;
        at = end + 1;
    }
    return parts == 4;
}

bool IsAddressLiteral(std::string_view domain) {
    if (domain.size() < 2 || domain.front() != '[' || domain.back() != ']') {
        return false;
    }
    const std::string_view inside = domain.substr(1, domain.size() - 2);
    if (inside.size() > kIpv6Tag.size() &&
        std::equal(kIpv6Tag.begin(), kIpv6Tag.end(), inside.begin(),
                   [](char a, char b) { return (a | 0x20) == (b | 0x20); })) {
        in6_addr address{};
        return inet_pton(AF_INET6, std::string(inside.substr(kIpv6Tag.size())).c_str(), &address) ==
               1;
    }
    return IsIpv4Literal(inside);
}

} // namespace

std::string_view MailboxDomain(std::string_view mailbox) {
    const std::size_t at = mailbox.rfind('@');
    return at == std::string_view::npos ? std::string_view() : mailbox.substr(at + 1);
}

bool IsMailbox(std::string_view address, bool utf8) {
    const std::size_t at = address.rfind('@');
    if (at == std::string_view::npos || address.size() + 2 > kMaxPath) {
        return false;
    }
    // Without SMTPUTF8 the checks below refuse every octet beyond ASCII.
    if (utf8 && !IsWellFormedUtf8(address)) {
        return false;
    }
    const std::string_view local = address.substr(0, at);
    const std::string_view domain = address.substr(at + 1);
    if (local.empty() || local.size() > kMaxLocalPart || domain.empty() ||
        domain.size() > kMaxDomain) {
        return false;
    }
    const bool localOk = IsDotString(local, utf8) || IsQuotedString(local, utf8);
    return localOk && (IsHostName(domain, utf8) || IsAddressLiteral(domain));
}

} // namespace lumenpost
