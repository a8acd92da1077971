#include "delivery/dns_message.h"

#include "delivery/text_helpers.h"
#include "platform/ascii_text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <sys/socket.h>

namespace lumenpost {

namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kShortestAnswer = 14;
constexpr std::uint16_t kRecursionDesired = 0x0100;
constexpr std::uint16_t kResponseFlag = 0x8000;
constexpr std::uint16_t kTruncatedFlag = 0x0200;
constexpr std::uint16_t kResponseCodeBits = 0x000F;
constexpr std::uint8_t kPointerBits = 0xC0;
constexpr std::size_t kIPv4Size = 4;
constexpr std::size_t kIPv6Size = 16;
// SOA data before MINIMUM: SERIAL, REFRESH, RETRY and EXPIRE.
constexpr std::size_t kSoaCounters = 16;
constexpr std::uint32_t kLargestTtl = 0x7FFFFFFF;

void AppendLabel(std::string& encoded, std::string_view label) {
    encoded += static_cast<char>(label.size() & 0xFF);
    encoded += label;
}

std::string_view WithoutFinalDot(std::string_view name) {
    return name.empty() || name.back() != '.' ? name : name.substr(0, name.size() - 1);
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return LowerAsciiChar(x) == LowerAsciiChar(y); });
}

// RFC 2181 section 8: a TTL with the top bit set counts as zero.
std::uint32_t ReadTtl(DnsReader& reader) {
    const std::uint32_t ttl = reader.Word32();
    return ttl > kLargestTtl ? 0 : ttl;
}

struct RecordHeader {
    std::string owner;
    std::uint16_t type = 0;
    std::uint16_t recordClass = 0;
    std::uint32_t ttl = 0;
    std::size_t dataStart = 0;
    std::size_t dataEnd = 0;
};

RecordHeader ReadRecordHeader(DnsReader& reader) {
    RecordHeader header;
    header.owner = ReadName(reader);
    header.type = reader.Word16();
    header.recordClass = reader.Word16();
    header.ttl = ReadTtl(reader);
    const std::uint16_t dataLength = reader.Word16();
    header.dataStart = reader.Position();
    reader.Skip(dataLength);
    header.dataEnd = reader.Position();
    return header;
}

// Runs `decode` on the record's data, which it must not read past; the reader ends
// after the data either way.
template <typename Decode>
void DecodeData(DnsReader& reader, const RecordHeader& header, Decode decode) {
    reader.Seek(header.dataStart);
    decode();
    if (reader.Position() > header.dataEnd) {
        reader.Fail();
    }
    reader.Seek(header.dataEnd);
}

std::string ReadAddress(DnsReader& reader, const RecordHeader& header, int family,
                        std::size_t size) {
    if (header.dataEnd - header.dataStart != size) {
        reader.Fail();
        return {};
    }
    const std::string octets = reader.Octets(size);
    char text[INET6_ADDRSTRLEN] = {};
    if (reader.Failed() || inet_ntop(family, octets.data(), text, sizeof text) == nullptr) {
        reader.Fail();
        return {};
    }
    return text;
}

void DecodeRecordData(DnsReader& reader, const RecordHeader& header, DnsRecord& record) {
    switch (header.type) {
    case kDnsTypeA:
        record.data = ReadAddress(reader, header, AF_INET, kIPv4Size);
        break;
    case kDnsTypeAaaa:
        record.data = ReadAddress(reader, header, AF_INET6, kIPv6Size);
        break;
    case kDnsTypeMx:
        record.preference = reader.Word16();
        record.data = ReadName(reader);
        break;
    default:
        record.data = ReadName(reader);
        break;
    }
}

bool IsUnderstood(const RecordHeader& header) {
    return header.recordClass == kDnsClassInternet &&
           (header.type == kDnsTypeA || header.type == kDnsTypeAaaa || header.type == kDnsTypeMx ||
            header.type == kDnsTypeCname);
}

void ReadAnswerRecord(DnsReader& reader, std::vector<DnsRecord>& records) {
    const RecordHeader header = ReadRecordHeader(reader);
    if (reader.Failed() || !IsUnderstood(header)) {
        return;
    }
    DnsRecord record{header.owner, header.type, header.ttl, 0, {}};
    DecodeData(reader, header, [&] { DecodeRecordData(reader, header, record); });
    if (!reader.Failed()) {
        records.push_back(std::move(record));
    }
}

void ReadAuthorityRecord(DnsReader& reader, DnsAnswer& answer) {
    const RecordHeader header = ReadRecordHeader(reader);
    if (reader.Failed() || header.type != kDnsTypeSoa || header.recordClass != kDnsClassInternet) {
        return;
    }
    std::uint32_t minimum = 0;
    DecodeData(reader, header, [&] {
        ReadName(reader);
        ReadName(reader);
        reader.Skip(kSoaCounters);
        minimum = ReadTtl(reader);
    });
    if (!reader.Failed()) {
        answer.negativeTtl = std::min(header.ttl, minimum);
    }
}

std::string RecordText(const DnsRecord& record) {
    return record.type == kDnsTypeMx ? std::to_string(record.preference) + "," + record.data
                                     : record.data;
}

} // namespace

bool DnsReader::Claim(std::size_t count) {
    if (failed_ || count > message_.size() - position_) {
        failed_ = true;
        return false;
    }
    return true;
}

std::uint8_t DnsReader::Octet() {
    if (!Claim(1)) {
        return 0;
    }
    return static_cast<std::uint8_t>(message_[position_++]);
}

std::uint16_t DnsReader::Word16() {
    if (!Claim(2)) {
        return 0;
    }
    const std::uint16_t value = TextToWord16(message_, position_ + 1);
    position_ += 2;
    return value;
}

std::uint32_t DnsReader::Word32() {
    const std::uint32_t high = Word16();
    const std::uint32_t low = Word16();
    return Failed() ? 0 : (high << 16) | low;
}

std::string DnsReader::Octets(std::size_t count) {
    if (!Claim(count)) {
        return {};
    }
    std::string octets(message_.substr(position_, count));
    position_ += count;
    return octets;
}

void DnsReader::Skip(std::size_t count) {
    if (Claim(count)) {
        position_ += count;
    }
}

void DnsReader::Seek(std::size_t position) {
    if (failed_ || position > message_.size()) {
        failed_ = true;
        return;
    }
    position_ = position;
}

std::string EncodeName(std::string_view name) {
    std::string encoded;
    std::size_t start = 0;
    for (std::size_t dot = name.find('.'); dot != std::string_view::npos;
         dot = name.find('.', start)) {
        AppendLabel(encoded, name.substr(start, dot - start));
        start = dot + 1;
    }
    if (start < name.size()) {
        AppendLabel(encoded, name.substr(start));
    }
    encoded += '\0';
    return encoded;
}

std::string BuildQuery(std::uint16_t id, std::string_view name, std::uint16_t queryType) {
    std::string query = Word16ToText(id) + Word16ToText(kRecursionDesired) + Word16ToText(1) +
                        Word16ToText(0) + Word16ToText(0) + Word16ToText(0);
    query += EncodeName(name);
    query += Word16ToText(queryType) + Word16ToText(kDnsClassInternet);
    return query;
}

std::string ReadName(DnsReader& reader) {
    std::string name;
    std::size_t resume = 0;
    bool jumped = false;
    // Every octet a name walk reads counts against the message size: a legal name
    // never reads more octets than the message has, a pointer loop always does.
    std::size_t budget = reader.Size();
    while (!reader.Failed()) {
        const std::uint8_t length = reader.Octet();
        if (length == 0) {
            break;
        }
        const bool pointer = (length & kPointerBits) == kPointerBits;
        const std::size_t cost = pointer ? 2 : 1 + static_cast<std::size_t>(length);
        if (cost > budget) {
            reader.Fail();
            break;
        }
        budget -= cost;
        if (!pointer) {
            name += name.empty() ? "" : ".";
            name += reader.Octets(length);
            continue;
        }
        const std::size_t target = static_cast<std::size_t>(length & 0x3F) * 256 + reader.Octet();
        if (!jumped) {
            resume = reader.Position();
            jumped = true;
        }
        reader.Seek(target);
    }
    if (jumped) {
        reader.Seek(resume);
    }
    return reader.Failed() ? std::string() : name;
}

bool SameDnsName(std::string_view a, std::string_view b) {
    return SameIgnoringCase(WithoutFinalDot(a), WithoutFinalDot(b));
}

// The question is compared as encoded, label by label: servers echo it uncompressed,
// and a label holding a dot can then not pass for two labels.
bool AnswersQuery(std::string_view message, std::uint16_t id, std::string_view name,
                  std::uint16_t queryType) {
    const std::string question =
        EncodeName(name) + Word16ToText(queryType) + Word16ToText(kDnsClassInternet);
    if (message.size() < kHeaderSize + question.size()) {
        return false;
    }
    const std::uint16_t flags = TextToWord16(message, 3);
    return TextToWord16(message, 1) == id && (flags & kResponseFlag) != 0 &&
           TextToWord16(message, 5) == 1 &&
           SameIgnoringCase(message.substr(kHeaderSize, question.size()), question);
}

DnsAnswer ParseAnswer(std::string_view message) {
    DnsAnswer answer;
    DnsReader reader(message);
    reader.Skip(2);
    const std::uint16_t flags = reader.Word16();
    const std::uint16_t questionCount = reader.Word16();
    const std::uint16_t answerCount = reader.Word16();
    const std::uint16_t authorityCount = reader.Word16();
    reader.Skip(2);
    answer.truncated = (flags & kTruncatedFlag) != 0;
    answer.responseCode = flags & kResponseCodeBits;
    for (std::uint16_t i = 0; i < questionCount && !reader.Failed(); ++i) {
        ReadName(reader);
        reader.Skip(4);
    }
    for (std::uint16_t i = 0; i < answerCount && !reader.Failed(); ++i) {
        ReadAnswerRecord(reader, answer.records);
    }
    for (std::uint16_t i = 0; i < authorityCount && !reader.Failed(); ++i) {
        ReadAuthorityRecord(reader, answer);
    }
    answer.readable = !reader.Failed();
    return answer;
}

bool ReadAnswer(std::string_view message, std::string_view queryName, std::uint16_t queryType,
                std::vector<std::string>& results, std::int32_t& responseCode) {
    results.clear();
    if (message.size() < kShortestAnswer) {
        return false;
    }
    const DnsAnswer answer = ParseAnswer(message);
    responseCode = answer.responseCode;
    if (responseCode != 0) {
        return false;
    }
    for (const DnsRecord& record : answer.records) {
        if (record.owner == queryName && record.type == queryType) {
            results.push_back(RecordText(record));
        }
    }
    return true;
}

} // namespace lumenpost
