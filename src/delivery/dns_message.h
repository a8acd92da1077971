#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Building DNS queries and walking DNS answers (RFC 1035 layout).
namespace lumenpost {

inline constexpr std::uint16_t kDnsTypeA = 1;
inline constexpr std::uint16_t kDnsTypeCname = 5;
inline constexpr std::uint16_t kDnsTypeSoa = 6;
inline constexpr std::uint16_t kDnsTypeMx = 15;
inline constexpr std::uint16_t kDnsTypeAaaa = 28;

inline constexpr std::uint16_t kDnsClassInternet = 1;

inline constexpr std::int32_t kDnsRcodeServerFailure = 2;
inline constexpr std::int32_t kDnsRcodeNameError = 3;
inline constexpr std::int32_t kDnsRcodeRefused = 5;

// A cursor over a received DNS message with a sticky error: once a read runs past the
// end, it and every later read yield nothing and Failed() stays true, so the walk
// checks one flag instead of every step.
class DnsReader {
public:
    explicit DnsReader(std::string_view message) : message_(message) {}

    std::uint8_t Octet();
    std::uint16_t Word16();
    std::uint32_t Word32();
    std::string Octets(std::size_t count);
    void Skip(std::size_t count);
    void Seek(std::size_t position);
    void Fail() { failed_ = true; }

    bool Failed() const { return failed_; }
    std::size_t Position() const { return position_; }
    std::size_t Size() const { return message_.size(); }

private:
    bool Claim(std::size_t count);

    std::string_view message_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

// Length-prefixed labels cut at every dot and a final zero octet. An empty label
// (adjacent or leading dots) is a lone zero octet; a trailing dot adds nothing.
std::string EncodeName(std::string_view name);

// Header (recursion desired, one question) followed by the question for `name`.
std::string BuildQuery(std::uint16_t id, std::string_view name, std::uint16_t queryType);

// The dotted name at the reader's position, following compression pointers; the reader
// ends after the name. Pointer loops fail the reader. The root name is empty.
std::string ReadName(DnsReader& reader);

// DNS names compare without regard to ASCII case, and a final dot changes nothing.
bool SameDnsName(std::string_view a, std::string_view b);

// True when `message` is a response carrying `id` whose single question is `name`
// (ignoring case), `queryType` and class IN: only such a message answers the query.
bool AnswersQuery(std::string_view message, std::uint16_t id, std::string_view name,
                  std::uint16_t queryType);

// One answer record of a type the client understands.
struct DnsRecord {
    std::string owner;
    std::uint16_t type = 0;
    std::uint32_t ttl = 0;
    std::uint16_t preference = 0; // MX only
    // A and AAAA: the address as text; MX: the exchange; CNAME: the canonical name.
    std::string data;
};

// What a DNS answer says, as far as it could be read.
struct DnsAnswer {
    // Every section up to the authority's end lay inside the message and made sense.
    bool readable = false;
    bool truncated = false;
    std::int32_t responseCode = 0;
    // Answer records of class IN and types A, AAAA, MX and CNAME, in the server's order,
    // up to the first damage.
    std::vector<DnsRecord> records;
    // The negative-answer lifetime of RFC 2308 (the smaller of the SOA record's TTL
    // and its MINIMUM) when the authority section has a SOA record.
    std::optional<std::uint32_t> negativeTtl;
};

// Walks a whole answer message; never reads outside it.
DnsAnswer ParseAnswer(std::string_view message);

// Walks an answer datagram. False when it is shorter than 14 octets or its RCODE
// (stored in `responseCode` once readable) is not 0; otherwise true with one text per
// answer record whose owner and type equal the query octet for octet (MX:
// "pref,host"; A, AAAA: the address). A truncated or inconsistent answer keeps the
// records read before the damage.
bool ReadAnswer(std::string_view message, std::string_view queryName, std::uint16_t queryType,
                std::vector<std::string>& results, std::int32_t& responseCode);

} // namespace lumenpost
