// Walks arbitrary datagrams as DNS answers. The question's own name is taken as the
// query name, so records owned by it (or pointing at it) reach the MX decoding.
#include "delivery/dns_message.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenpost;
    const std::string_view message(reinterpret_cast<const char*>(data), size);
    DnsReader question(message);
    question.Seek(12);
    const std::string queryName = ReadName(question);
    std::vector<std::string> results;
    std::int32_t responseCode = 0;
    ReadAnswer(message, queryName, kDnsTypeMx, results, responseCode);
    return 0;
}
