#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Building DNS queries and walking DNS answers (RFC 1035 layout).
namespace lumenpost {

inline constexpr std::uint16_t kDnsTypeMx = 15;

// A cursor over a received DNS message with a sticky error: once a read runs past the
// end, it and every later read yield nothing and Failed() stays true, so the walk
// checks one flag instead of every step.
class DnsReader {
public:
    explicit DnsReader(std::string_view message) : message_(message) {}

    std::uint8_t Octet();
    std::uint16_t Word16();
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
// ends after the name. Pointer loops fail the reader.
std::string ReadName(DnsReader& reader);

// One resource record: its text when owner and type match the query (MX: "pref,host"),
// otherwise empty. The reader ends after the record's data.
std::string ReadRecord(DnsReader& reader, std::string_view queryName, std::uint16_t queryType);

// Walks an answer datagram. False when it is shorter than 14 octets or its RCODE
// (stored in `responseCode` once readable) is not 0; otherwise true with one text per
// matching answer record. A truncated or inconsistent answer keeps the records read
// before the damage.
bool ReadAnswer(std::string_view message, std::string_view queryName, std::uint16_t queryType,
                std::vector<std::string>& results, std::int32_t& responseCode);

} // namespace lumenpost
