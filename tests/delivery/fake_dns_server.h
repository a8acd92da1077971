#pragma once

#include "loopback.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumenpost::test {

// One message the fake server sends back.
struct DnsReply {
    std::string datagram;
    // Sent from a second socket, so it comes from another port than the query went to.
    bool fromOtherPort = false;
    // Over TCP: only the first half of the framed message, then the connection ends.
    bool cutShort = false;
};

// A DNS server on 127.0.0.1 that answers every query with the messages a test builds
// from it (none: silence) until it is destroyed. With a TCP script it also takes
// queries over TCP on the same port, answering each on its connection.
class FakeDnsServer {
public:
    using Script = std::function<std::vector<DnsReply>(const std::string& query)>;

    explicit FakeDnsServer(Script udpScript, Script tcpScript = nullptr);
    ~FakeDnsServer();
    FakeDnsServer(const FakeDnsServer&) = delete;
    FakeDnsServer& operator=(const FakeDnsServer&) = delete;

    std::string Port() const { return port_; }
    // The first query received, waiting for one for at most kPeerWaitMs.
    std::string ReceivedQuery();
    // Every query received so far, over UDP and TCP, in order of arrival.
    std::vector<std::string> Queries();
    // Queries received so far for `type` (any type: 0), over UDP and TCP.
    std::size_t QueryCount(std::uint16_t type = 0);
    std::size_t TcpQueryCount();

private:
    void Serve();
    void AnswerDatagram();
    void AnswerConnection();
    void Record(const std::string& query, bool overTcp);

    Script udpScript_;
    Script tcpScript_;
    Descriptor socket_;
    Descriptor otherSocket_;
    Descriptor listener_;
    std::string port_;
    std::mutex mutex_;
    std::vector<std::string> queries_;
    std::size_t tcpQueries_ = 0;
    std::atomic<bool> stop_{false};
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
// The dotted name and the type `query` asks for.
std::string AskedName(const std::string& query);
std::uint16_t AskedType(const std::string& query);
// A record of class IN: owner, type, RDATA, TTL.
std::string Record(const std::string& owner, std::uint16_t type, const std::string& rdata,
                   std::uint32_t ttl = 3600);
std::string Mx(const std::string& owner, std::uint16_t preference, const std::string& exchange,
               std::uint32_t ttl = 3600);
// A or AAAA record of the address text.
std::string Address(const std::string& owner, const std::string& address, std::uint32_t ttl = 3600);
std::string Cname(const std::string& owner, const std::string& target, std::uint32_t ttl = 3600);
// A SOA record with the given TTL and MINIMUM.
std::string Soa(const std::string& owner, std::uint32_t ttl, std::uint32_t minimum);
// Header and question of `query` followed by `records` with ANCOUNT `answerCount`.
std::string Answer(const std::string& query, const std::vector<std::string>& records,
                   std::uint16_t rcode = 0, int answerCount = -1);
// `answer` with `records` appended as its authority section.
std::string WithAuthority(std::string answer, const std::vector<std::string>& records);
// `answer` with the TC (truncated) flag set.
std::string Truncated(std::string answer);

} // namespace dns_bytes

} // namespace lumenpost::test
