#include "fake_dns_server.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace lumenpost::test {

namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr int kStopCheckMs = 20;
constexpr int kPortAttempts = 20;

Descriptor BindLoopbackPort(int type, const std::string& port) {
    Descriptor fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && listen(fd.Get(), 4) != 0)) {
        return Descriptor();
    }
    return fd;
}

// A TCP listener on the UDP socket's port; another ephemeral port when that one is taken.
void BindSamePort(Descriptor& udp, Descriptor& listener) {
    for (int attempt = 0; attempt < kPortAttempts && listener.Get() < 0; ++attempt) {
        udp = BindLoopback(SOCK_DGRAM);
        listener = BindLoopbackPort(SOCK_STREAM, PortText(udp.Get()));
    }
}

bool ReceiveExactly(int fd, std::size_t count, std::string& octets) {
    octets.assign(count, '\0');
    std::size_t received = 0;
    while (received < count) {
        if (!WaitReadable(fd, kPeerWaitMs)) {
            return false;
        }
        const auto got = recv(fd, octets.data() + received, count - received, 0);
        if (got <= 0) {
            return false;
        }
        received += static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace

FakeDnsServer::FakeDnsServer(Script udpScript, Script tcpScript)
    : udpScript_(std::move(udpScript)), tcpScript_(std::move(tcpScript)),
      otherSocket_(BindLoopback(SOCK_DGRAM)) {
    if (tcpScript_) {
        BindSamePort(socket_, listener_);
    } else {
        socket_ = BindLoopback(SOCK_DGRAM);
    }
    port_ = PortText(socket_.Get());
    thread_ = std::thread(&FakeDnsServer::Serve, this);
}

FakeDnsServer::~FakeDnsServer() {
    stop_ = true;
    thread_.join();
}

std::string FakeDnsServer::ReceivedQuery() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerWaitMs);
    while (std::chrono::steady_clock::now() < end) {
        {
            const std::lock_guard lock(mutex_);
            if (!queries_.empty()) {
                return queries_.front();
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kStopCheckMs));
    }
    return {};
}

std::vector<std::string> FakeDnsServer::Queries() {
    const std::lock_guard lock(mutex_);
    return queries_;
}

std::size_t FakeDnsServer::QueryCount(std::uint16_t type) {
    const std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const std::string& query : queries_) {
        count += type == 0 || dns_bytes::AskedType(query) == type ? 1 : 0;
    }
    return count;
}

std::size_t FakeDnsServer::TcpQueryCount() {
    const std::lock_guard lock(mutex_);
    return tcpQueries_;
}

void FakeDnsServer::Record(const std::string& query, bool overTcp) {
    const std::lock_guard lock(mutex_);
    queries_.push_back(query);
    tcpQueries_ += overTcp ? 1 : 0;
}

void FakeDnsServer::Serve() {
    while (!stop_) {
        pollfd entries[] = {{socket_.Get(), POLLIN, 0}, {listener_.Get(), POLLIN, 0}};
        if (poll(entries, listener_.Get() >= 0 ? 2 : 1, kStopCheckMs) <= 0) {
            continue;
        }
        if ((entries[0].revents & POLLIN) != 0) {
            AnswerDatagram();
        }
        if ((entries[1].revents & POLLIN) != 0) {
            AnswerConnection();
        }
    }
}

void FakeDnsServer::AnswerDatagram() {
    std::string query(65536, '\0');
    sockaddr_in client{};
    socklen_t length = sizeof client;
    const auto received = recvfrom(socket_.Get(), query.data(), query.size(), 0,
                                   reinterpret_cast<sockaddr*>(&client), &length);
    if (received < 0) {
        return;
    }
    query.resize(static_cast<std::size_t>(received));
    Record(query, false);
    for (const DnsReply& reply : udpScript_(query)) {
        const int from = reply.fromOtherPort ? otherSocket_.Get() : socket_.Get();
        sendto(from, reply.datagram.data(), reply.datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&client), sizeof client);
    }
}

// Queries on one connection are answered one after the other until the client closes.
void FakeDnsServer::AnswerConnection() {
    const Descriptor connection = AcceptOne(listener_.Get());
    std::string prefix;
    std::string query;
    while (!stop_ && ReceiveExactly(connection.Get(), 2, prefix) &&
           ReceiveExactly(connection.Get(),
                          static_cast<unsigned char>(prefix[0]) * 256u +
                              static_cast<unsigned char>(prefix[1]),
                          query)) {
        Record(query, true);
        for (const DnsReply& reply : tcpScript_(query)) {
            const auto length = static_cast<std::uint16_t>(reply.datagram.size());
            const std::string framed = dns_bytes::Word16(length) + reply.datagram;
            if (reply.cutShort) {
                SendAll(connection.Get(), framed.substr(0, framed.size() / 2));
                return;
            }
            SendAll(connection.Get(), framed);
        }
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

std::string AskedName(const std::string& query) {
    std::string name;
    std::size_t position = kHeaderSize;
    while (position < query.size() && query[position] != '\0') {
        const auto length = static_cast<unsigned char>(query[position]);
        name += (name.empty() ? "" : ".") + query.substr(position + 1, length);
        position += 1 + length;
    }
    return name;
}

std::uint16_t AskedType(const std::string& query) {
    const std::string question = Question(query);
    if (question.size() < 4) {
        return 0;
    }
    const std::size_t type = question.size() - 4;
    return static_cast<std::uint16_t>(static_cast<unsigned char>(question[type]) * 256 +
                                      static_cast<unsigned char>(question[type + 1]));
}

std::string Record(const std::string& owner, std::uint16_t type, const std::string& rdata,
                   std::uint32_t ttl) {
    return owner + Word16(type) + Word16(1) + Word16(static_cast<std::uint16_t>(ttl >> 16)) +
           Word16(static_cast<std::uint16_t>(ttl & 0xFFFF)) +
           Word16(static_cast<std::uint16_t>(rdata.size())) + rdata;
}

std::string Mx(const std::string& owner, std::uint16_t preference, const std::string& exchange,
               std::uint32_t ttl) {
    return Record(owner, 15, Word16(preference) + exchange, ttl);
}

std::string Address(const std::string& owner, const std::string& address, std::uint32_t ttl) {
    unsigned char octets[16] = {};
    if (inet_pton(AF_INET, address.c_str(), octets) == 1) {
        return Record(owner, 1, std::string(reinterpret_cast<char*>(octets), 4), ttl);
    }
    inet_pton(AF_INET6, address.c_str(), octets);
    return Record(owner, 28, std::string(reinterpret_cast<char*>(octets), 16), ttl);
}

std::string Cname(const std::string& owner, const std::string& target, std::uint32_t ttl) {
    return Record(owner, 5, Name(target), ttl);
}

std::string Soa(const std::string& owner, std::uint32_t ttl, std::uint32_t minimum) {
    const std::string counters(16, '\x01');
    return Record(owner, 6,
                  Name("ns.example") + Name("admin.example") + counters +
                      Word16(static_cast<std::uint16_t>(minimum >> 16)) +
                      Word16(static_cast<std::uint16_t>(minimum & 0xFFFF)),
                  ttl);
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

std::string WithAuthority(std::string answer, const std::vector<std::string>& records) {
    const std::string count = Word16(static_cast<std::uint16_t>(records.size()));
    answer.replace(8, 2, count);
    for (const std::string& record : records) {
        answer += record;
    }
    return answer;
}

std::string Truncated(std::string answer) {
    answer[2] = static_cast<char>(answer[2] | 0x02);
    return answer;
}

} // namespace dns_bytes

} // namespace lumenpost::test
