#include "delivery/dns_message.h"
#include "delivery/dns_tcp_reader.h"
#include "fake_dns_server.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using namespace test::dns_bytes;

const std::string kQuery = BuildQuery(0xBEEF, "example.org", kDnsTypeA);
const std::string kAsked = Pointer(12);

TEST(DnsAnswerTest, RecordsOfEveryKnownTypeAreDecoded) {
    const std::string answer = WithAuthority(
        Answer(kQuery,
               {Address(kAsked, "192.0.2.1", 60), Address(kAsked, "2001:db8::1", 0x80000000),
                Mx(kAsked, 7, Name("mx.example.org")), Cname(kAsked, "alias.example.org"),
                Record(kAsked, 16, "\x04text")}),
        {Soa(Name("example.org"), 900, 300)});
    const DnsAnswer parsed = ParseAnswer(answer);
    ASSERT_TRUE(parsed.readable);
    EXPECT_FALSE(parsed.truncated);
    ASSERT_EQ(parsed.records.size(), 4U);
    EXPECT_EQ(parsed.records[0].data, "192.0.2.1");
    EXPECT_EQ(parsed.records[0].ttl, 60U);
    EXPECT_EQ(parsed.records[1].data, "2001:db8::1");
    // A TTL with the top bit set counts as zero.
    EXPECT_EQ(parsed.records[1].ttl, 0U);
    EXPECT_EQ(parsed.records[2].preference, 7);
    EXPECT_EQ(parsed.records[2].data, "mx.example.org");
    EXPECT_EQ(parsed.records[3].type, kDnsTypeCname);
    EXPECT_EQ(parsed.records[3].data, "alias.example.org");
    EXPECT_EQ(parsed.records[0].owner, "example.org");
    EXPECT_EQ(parsed.negativeTtl, 300U);

    EXPECT_EQ(
        ParseAnswer(WithAuthority(Answer(kQuery, {}, 3), {Soa(kAsked, 120, 300)})).negativeTtl,
        120U);
}

TEST(DnsAnswerTest, DamageMakesTheAnswerUnreadable) {
    // Address data of the wrong size.
    EXPECT_FALSE(ParseAnswer(Answer(kQuery, {Record(kAsked, kDnsTypeA, "\x01\x02\x03")})).readable);
    EXPECT_FALSE(
        ParseAnswer(Answer(kQuery, {Record(kAsked, kDnsTypeAaaa, std::string(4, 'x'))})).readable);
    // An exchange name running past its record's data.
    EXPECT_FALSE(
        ParseAnswer(Answer(kQuery, {Record(kAsked, kDnsTypeMx, Word16(1) + "\x05mx")})).readable);
    // More records announced than present, and a cut SOA.
    EXPECT_FALSE(ParseAnswer(Answer(kQuery, {Address(kAsked, "192.0.2.1")}, 0, 2)).readable);
    std::string cutSoa = WithAuthority(Answer(kQuery, {}, 3), {Soa(kAsked, 1, 1)});
    cutSoa.resize(cutSoa.size() - 2);
    EXPECT_FALSE(ParseAnswer(cutSoa).readable);
    EXPECT_FALSE(ParseAnswer(kQuery.substr(0, 11)).readable);

    const DnsAnswer truncated = ParseAnswer(Truncated(Answer(kQuery, {})));
    EXPECT_TRUE(truncated.readable);
    EXPECT_TRUE(truncated.truncated);
}

TEST(DnsAnswerTest, OnlyAResponseToTheSameQuestionAnswers) {
    const std::string answer = Answer(kQuery, {});
    EXPECT_TRUE(AnswersQuery(answer, 0xBEEF, "example.org", kDnsTypeA));
    EXPECT_TRUE(AnswersQuery(answer, 0xBEEF, "EXAMPLE.org", kDnsTypeA));
    EXPECT_FALSE(AnswersQuery(answer, 0xBEEE, "example.org", kDnsTypeA));
    EXPECT_FALSE(AnswersQuery(answer, 0xBEEF, "example.org", kDnsTypeAaaa));
    EXPECT_FALSE(AnswersQuery(answer, 0xBEEF, "example.net", kDnsTypeA));
    EXPECT_FALSE(AnswersQuery(answer, 0xBEEF, "www.example.org", kDnsTypeA));
    // The query itself (no QR flag), two questions, class CH, one label holding a dot.
    EXPECT_FALSE(AnswersQuery(kQuery, 0xBEEF, "example.org", kDnsTypeA));
    EXPECT_FALSE(AnswersQuery(Header(kQuery, 0, 2, 0) + Question(kQuery) + Question(kQuery), 0xBEEF,
                              "example.org", kDnsTypeA));
    EXPECT_FALSE(AnswersQuery(Header(kQuery, 0, 1, 0) + Name("example.org") + Word16(1) + Word16(3),
                              0xBEEF, "example.org", kDnsTypeA));
    EXPECT_FALSE(AnswersQuery(Header(kQuery, 0, 1, 0) +
                                  "\x0b"
                                  "example.org" +
                                  std::string(1, '\0') + Word16(1) + Word16(1),
                              0xBEEF, "example.org", kDnsTypeA));
    EXPECT_FALSE(
        AnswersQuery(answer.substr(0, answer.size() - 1), 0xBEEF, "example.org", kDnsTypeA));
}

TEST(DnsAnswerTest, NamesCompareIgnoringCaseAndFinalDot) {
    EXPECT_TRUE(SameDnsName("Mail.Example.ORG.", "mail.example.org"));
    EXPECT_FALSE(SameDnsName("mail.example.org", "mail.example.org.uk"));
    EXPECT_FALSE(SameDnsName("m\xC3\xA4il.example", "m\xC3\x84il.example"));
}

std::string Framed(const std::string& message) {
    return Word16(static_cast<std::uint16_t>(message.size())) + message;
}

TEST(DnsTcpReaderTest, MessagesAreCutAtTheirLengthPrefix) {
    const std::string stream = Framed("first") + Framed("") + Framed(std::string(300, 'x'));
    DnsTcpReader reader;
    std::vector<std::string> messages;
    for (const char octet : stream) {
        ASSERT_GE(reader.Wanted(), 1U);
        EXPECT_EQ(reader.Feed(std::string_view(&octet, 1)), 1U);
        if (auto message = reader.TakeMessage()) {
            messages.push_back(*message);
        }
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"first", "", std::string(300, 'x')}));
    EXPECT_FALSE(reader.TakeMessage());
}

TEST(DnsTcpReaderTest, ReaderTakesNoMoreThanTheCurrentMessage) {
    const std::string stream = Framed("abc") + Framed("de");
    DnsTcpReader reader;
    EXPECT_EQ(reader.Feed(stream), 2U);
    EXPECT_EQ(reader.Wanted(), 3U);
    EXPECT_EQ(reader.Feed(std::string_view(stream).substr(2)), 3U);
    EXPECT_EQ(reader.Wanted(), 0U);
    EXPECT_EQ(reader.Feed("zz"), 0U);
    EXPECT_EQ(reader.TakeMessage(), "abc");

    DnsTcpReader largest;
    largest.Feed("\xFF\xFF");
    EXPECT_EQ(largest.Wanted(), 65535U);
}

} // namespace
} // namespace lumenpost
