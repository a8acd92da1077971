#pragma once

#include "loopback.h"

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace lumenpost::test {

// One datagram the fake server sends back.
struct DnsReply {
    std::string datagram;
    // Sent from a second socket, so it comes from another port than the query went to.
    bool fromOtherPort = false;
};

// A DNS server on 127.0.0.1 that takes one query and answers it with the datagrams a
// test builds from that query (none: silence).
class FakeDnsServer {
public:
    using Script = std::function<std::vector<DnsReply>(const std::string& query)>;

    explicit FakeDnsServer(Script script);
    ~FakeDnsServer();
    FakeDnsServer(const FakeDnsServer&) = delete;
    FakeDnsServer& operator=(const FakeDnsServer&) = delete;

    std::string Port() const { return port_; }
    // The query received; valid once the client has its answer.
    std::string ReceivedQuery();

private:
    void Serve(Script script);

    Descriptor socket_;
    Descriptor otherSocket_;
    std::string port_;
    std::string query_;
    std::thread thread_;
};

// Byte-by-byte pieces of DNS answers.
namespace dns_bytes {

std::string Word16(std::uint16_t value);
// Labels as length octets and characters, with the final zero octet.
std::string Name(const std::string& dotted);
// A compression pointer to `offset`.
std::string Pointer(std::uint16_t offset);
// Header echoing `query`'s identifier, flags QR RD RA plus `rcode`.
std::string Header(const std::string& query, std::uint16_t rcode, std::uint16_t questions,
                   std::uint16_t answers);
// The question section of `query` as it was sent.
std::string Question(const std::string& query);
// A record of class IN with TTL 3600: owner, type, RDATA.
std::string Record(const std::string& owner, std::uint16_t type, const std::string& rdata);
std::string Mx(const std::string& owner, std::uint16_t preference, const std::string& exchange);
// Header and question of `query` followed by `records` with ANCOUNT `answerCount`.
std::string Answer(const std::string& query, const std::vector<std::string>& records,
                   std::uint16_t rcode = 0, int answerCount = -1);

} // namespace dns_bytes

} // namespace lumenpost::test
