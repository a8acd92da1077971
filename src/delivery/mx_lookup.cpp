#include "delivery/mx_lookup.h"

#include "delivery/dns_client.h"
#include "delivery/dns_message.h"
#include "platform/ascii_text.h"

#include <algorithm>

namespace lumenpost {

namespace {

constexpr std::size_t kPreferenceDigits = 5;

// "5,mx.example" becomes "00005,mx.example" so that text order is preference order.
std::string PadPreference(const std::string& entry) {
    const std::size_t comma = entry.find(',');
    if (comma == std::string::npos || comma >= kPreferenceDigits) {
        return entry;
    }
    return std::string(kPreferenceDigits - comma, '0') + entry;
}

bool LessIgnoringCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(LowerAsciiChar(x)) <
               static_cast<unsigned char>(LowerAsciiChar(y));
    });
}

} // namespace

bool LookupMailServers(const std::string& dnsServer, const std::string& domain,
                       std::vector<std::string>& hosts, const MxLookupOptions& options) {
    hosts.clear();
    TDnsClient client;
    client.ServerHost = dnsServer;
    client.ServerPort = options.ServerPort;
    client.TimeoutMs = options.TimeoutMs;
    std::vector<std::string> entries;
    if (!client.Query(domain, kDnsTypeMx, entries)) {
        return false;
    }
    for (std::string& entry : entries) {
        entry = PadPreference(entry);
    }
    std::stable_sort(entries.begin(), entries.end(), LessIgnoringCase);
    for (const std::string& entry : entries) {
        hosts.push_back(entry.substr(entry.find(',') + 1));
    }
    return true;
}

} // namespace lumenpost
