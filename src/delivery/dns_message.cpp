#include "delivery/dns_message.h"

#include "delivery/text_helpers.h"

namespace lumenpost {

namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kShortestAnswer = 14;
constexpr std::uint16_t kRecursionDesired = 0x0100;
constexpr std::uint16_t kClassInternet = 1;
constexpr std::uint8_t kPointerBits = 0xC0;

void AppendLabel(std::string& encoded, std::string_view label) {
    encoded += static_cast<char>(label.size() & 0xFF);
    encoded += label;
}

// A question's name is skipped octet by octet up to its zero octet or its first
// compression pointer, then QTYPE and QCLASS.
void SkipQuestion(DnsReader& reader) {
    while (!reader.Failed()) {
        const std::uint8_t octet = reader.Octet();
        if (octet == 0) {
            break;
        }
        if ((octet & kPointerBits) == kPointerBits) {
            reader.Skip(1);
            break;
        }
    }
    reader.Skip(4);
}

std::string ReadMailExchanger(DnsReader& reader, std::size_t rdataStart) {
    const std::size_t resume = reader.Position();
    reader.Seek(rdataStart);
    const std::uint16_t preference = reader.Word16();
    const std::string exchange = ReadName(reader);
    reader.Seek(resume);
    if (reader.Failed()) {
        return {};
    }
    return std::to_string(preference) + "," + exchange;
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
    query += Word16ToText(queryType) + Word16ToText(kClassInternet);
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

std::string ReadRecord(DnsReader& reader, std::string_view queryName, std::uint16_t queryType) {
    const std::string owner = ReadName(reader);
    const std::uint16_t type = reader.Word16();
    reader.Skip(6);
    const std::uint16_t rdataLength = reader.Word16();
    const std::size_t rdataStart = reader.Position();
    reader.Skip(rdataLength);
    if (reader.Failed() || owner != queryName || type != queryType) {
        return {};
    }
    // Only mail exchangers are ever asked for; other types have no text form.
    return type == kDnsTypeMx ? ReadMailExchanger(reader, rdataStart) : std::string();
}

bool ReadAnswer(std::string_view message, std::string_view queryName, std::uint16_t queryType,
                std::vector<std::string>& results, std::int32_t& responseCode) {
    results.clear();
    if (message.size() < kShortestAnswer) {
        return false;
    }
    responseCode = TextToWord16(message, 3) & 0x0F;
    if (responseCode != 0) {
        return false;
    }
    const std::uint16_t questionCount = TextToWord16(message, 5);
    const std::uint16_t answerCount = TextToWord16(message, 7);
    DnsReader reader(message);
    reader.Seek(kHeaderSize);
    for (std::uint16_t i = 0; i < questionCount && !reader.Failed(); ++i) {
        SkipQuestion(reader);
    }
    for (std::uint16_t i = 0; i < answerCount && !reader.Failed(); ++i) {
        std::string text = ReadRecord(reader, queryName, queryType);
        if (!text.empty()) {
            results.push_back(std::move(text));
        }
    }
    return true;
}

} // namespace lumenpost
