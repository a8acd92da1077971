#include "fake_dns_server.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace lumenpost::test {

namespace {

constexpr std::size_t kHeaderSize = 12;

} // namespace

FakeDnsServer::FakeDnsServer(Script script)
    : socket_(BindLoopback(SOCK_DGRAM)), otherSocket_(BindLoopback(SOCK_DGRAM)),
      port_(PortText(socket_.Get())) {
    thread_ = std::thread(&FakeDnsServer::Serve, this, std::move(script));
}

FakeDnsServer::~FakeDnsServer() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string FakeDnsServer::ReceivedQuery() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return query_;
}

void FakeDnsServer::Serve(Script script) {
    if (!WaitReadable(socket_.Get(), kPeerWaitMs)) {
        return;
    }
    std::string query(65536, '\0');
    sockaddr_in client{};
    socklen_t length = sizeof client;
    const auto received = recvfrom(socket_.Get(), query.data(), query.size(), 0,
                                   reinterpret_cast<sockaddr*>(&client), &length);
    if (received < 0) {
        return;
    }
    query.resize(static_cast<std::size_t>(received));
    query_ = query;
    for (const DnsReply& reply : script(query)) {
        const int from = reply.fromOtherPort ? otherSocket_.Get() : socket_.Get();
        sendto(from, reply.datagram.data(), reply.datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&client), sizeof client);
    }
}

namespace dns_bytes {

std::string Word16(std::uint16_t value) {
    return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

std::string Name(const std::string& dotted) {
    std::string encoded;
    std::size_t start = 0;
    while (start < dotted.size()) {
        std::size_t dot = dotted.find('.', start);
        if (dot == std::string::npos) {
            dot = dotted.size();
        }
        encoded += static_cast<char>(dot - start);
        encoded += dotted.substr(start, dot - start);
        start = dot + 1;
    }
    return encoded + '\0';
}

std::string Pointer(std::uint16_t offset) {
    return Word16(static_cast<std::uint16_t>(0xC000 | offset));
}

std::string Header(const std::string& query, std::uint16_t rcode, std::uint16_t questions,
                   std::uint16_t answers) {
    return query.substr(0, 2) + Word16(static_cast<std::uint16_t>(0x8180 | rcode)) +
           Word16(questions) + Word16(answers) + Word16(0) + Word16(0);
}

std::string Question(const std::string& query) {
    return query.size() > kHeaderSize ? query.substr(kHeaderSize) : std::string();
}

std::string Record(const std::string& owner, std::uint16_t type, const std::string& rdata) {
    return owner + Word16(type) + Word16(1) + Word16(0) + Word16(3600) +
           Word16(static_cast<std::uint16_t>(rdata.size())) + rdata;
}

std::string Mx(const std::string& owner, std::uint16_t preference, const std::string& exchange) {
    return Record(owner, 15, Word16(preference) + exchange);
}

std::string Answer(const std::string& query, const std::vector<std::string>& records,
                   std::uint16_t rcode, int answerCount) {
    const auto count = static_cast<std::uint16_t>(answerCount < 0 ? static_cast<int>(records.size())
                                                                  : answerCount);
    std::string answer = Header(query, rcode, 1, count) + Question(query);
    for (const std::string& record : records) {
        answer += record;
    }
    return answer;
}

} // namespace dns_bytes

} // namespace lumenpost::test
