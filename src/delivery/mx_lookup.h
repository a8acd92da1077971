#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumenpost {

struct MxLookupOptions {
    // Service name or decimal port of the DNS server.
    std::string ServerPort = "domain";
    // How long to wait for the answer, in milliseconds.
    std::int32_t TimeoutMs = 15000;
};

// Asks `dnsServer` for the mail exchangers of `domain`. True when the server answered
// with RCODE 0; `hosts` then holds the exchange host names, lowest preference first
// (equal preferences by name, ignoring case). False with `hosts` empty otherwise.
bool LookupMailServers(const std::string& dnsServer, const std::string& domain,
                       std::vector<std::string>& hosts, const MxLookupOptions& options = {});

} // namespace lumenpost
