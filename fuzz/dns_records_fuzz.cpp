// Walks arbitrary messages as DNS answers the way the resolver does: the question is
// checked against the one the message itself carries, then every record of the types
// A, AAAA, MX and CNAME is decoded. Decoded addresses must read back as addresses.
#include "delivery/dns_message.h"

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace lumenpost;

void Require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void CheckRecord(const DnsRecord& record) {
    unsigned char octets[16];
    switch (record.type) {
    case kDnsTypeA:
        Require(inet_pton(AF_INET, record.data.c_str(), octets) == 1);
        break;
    case kDnsTypeAaaa:
        Require(inet_pton(AF_INET6, record.data.c_str(), octets) == 1);
        break;
    default:
        Require(record.type == kDnsTypeMx || record.type == kDnsTypeCname);
        break;
    }
    Require(record.ttl <= 0x7FFFFFFF);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view message(reinterpret_cast<const char*>(data), size);
    DnsReader question(message);
    const std::uint16_t id = question.Word16();
    question.Seek(12);
    const std::string name = ReadName(question);
    const std::uint16_t type = question.Word16();
    if (AnswersQuery(message, id, name, type)) {
        Require(!question.Failed());
    }
    const DnsAnswer answer = ParseAnswer(message);
    for (const DnsRecord& record : answer.records) {
        CheckRecord(record);
        SameDnsName(record.owner, name);
    }
    std::vector<std::string> results;
    std::int32_t responseCode = 0;
    for (const std::uint16_t asked : {kDnsTypeA, kDnsTypeAaaa, kDnsTypeMx, kDnsTypeCname}) {
        ReadAnswer(message, name, asked, results, responseCode);
    }
    return 0;
}
