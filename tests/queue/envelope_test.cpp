#include "queue/envelope.h"
#include "queue/retry_schedule.h"

#include <algorithm>
#include <climits>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

// Every octet but the line end, so that escaping is tried on all of them.
std::string AllOctets() {
    std::string text;
    for (int c = 0; c < 256; ++c) {
        text += static_cast<char>(c);
    }
    return text;
}

Envelope AwkwardEnvelope() {
    Envelope envelope;
    envelope.id = "0l3x8f2k1q9a7bcd";
    envelope.arrival = 1700000000;
    envelope.sender = "\"john smith\"@example.org";
    envelope.smtputf8 = true;
    envelope.eightBit = true;
    envelope.recipients = {
        {"\"a%20b c\"@x.example", RecipientState::deferred, 3, 1700000300,
         "451 4.7.1 greylisted\r\nsecond line %41 tab\there %", ""},
        {"用户@例子.测试", RecipientState::failed, 1, 0, "550 5.1.1 <用户@例子.测试>: ünknown", ""},
        {" lead and trail ", RecipientState::delivered, 1, 0, " ", " "},
        {"x@[192.0.2.7]", RecipientState::pending, 0, 0, "", "TLSv1.3 TLS_AES_256_GCM_SHA384"},
        {"all@octets.example", RecipientState::deferred, INT_MAX, INT64_MAX, AllOctets(),
         AllOctets()},
    };
    return envelope;
}

TEST(Envelope, AwkwardAddressesAndReasonsSurviveARoundTrip) {
    const Envelope envelope = AwkwardEnvelope();
    const std::string text = FormatEnvelope(envelope);
    EXPECT_EQ(ParseEnvelope(text), envelope);

    // Plain text: a version line first, one field per line, "end" last, and no control
    // character but the line ends.
    EXPECT_TRUE(text.starts_with("lumenpost-envelope 2\nid 0l3x8f2k1q9a7bcd\n")) << text;
    EXPECT_TRUE(text.ends_with("\nend\n")) << text;
    for (const char c : text) {
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << static_cast<int>(c);
    }
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7 + 5 * 6);
    EXPECT_NE(text.find("\ntraits smtputf8 8bit\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nsender \"john smith\"@example.org\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nrecipient 用户@例子.测试\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nreason 451 4.7.1 greylisted%0D%0Asecond line %2541 tab%09here %25\n"),
              std::string::npos)
        << text;
}

TEST(Envelope, NullSenderAndNoRecipientsRoundTrip) {
    Envelope envelope;
    envelope.id = "abc123";
    envelope.arrival = -1;
    EXPECT_EQ(ParseEnvelope(FormatEnvelope(envelope)), envelope);
    envelope.recipients.push_back({});
    EXPECT_EQ(ParseEnvelope(FormatEnvelope(envelope)), envelope);
}

TEST(Envelope, EveryCutOffTextIsRefused) {
    const std::string text = FormatEnvelope(AwkwardEnvelope());
    for (std::size_t size = 0; size < text.size(); ++size) {
        EXPECT_EQ(ParseEnvelope(text.substr(0, size)), std::nullopt) << "cut at " << size;
    }
}

// Queues written before the traits and tls lines existed are read as before.
TEST(Envelope, VersionOneFilesAreStillRead) {
    const auto envelope = ParseEnvelope(
        "lumenpost-envelope 1\nid abc\narrival 5\nsender s@x\nrecipients 1\nrecipient r@y\n"
        "state deferred\nattempts 2\nnext-attempt 9\nreason 451 later\nend\n");
    ASSERT_TRUE(envelope.has_value());
    EXPECT_FALSE(envelope->smtputf8 || envelope->eightBit);
    EXPECT_EQ(envelope->recipients.at(0).lastReason, "451 later");
    EXPECT_EQ(envelope->recipients.at(0).lastTls, "");
}

TEST(Envelope, TraitsOfALaterVersionDoNotHideTheMessage) {
    Envelope envelope;
    envelope.id = "abc";
    std::string text = FormatEnvelope(envelope);
    text.replace(text.find("traits\n"), 7, "traits future 8bit\n");
    const auto parsed = ParseEnvelope(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_TRUE(parsed->eightBit);
    EXPECT_FALSE(parsed->smtputf8);
}

TEST(Envelope, GarbledTextIsRefused) {
    const std::string good = "lumenpost-envelope 2\nid abc\narrival 5\nsender s@x\ntraits\n"
                             "recipients 1\nrecipient r@y\nstate deferred\nattempts 2\n"
                             "next-attempt 9\nreason 451 later\ntls\nend\n";
    ASSERT_TRUE(ParseEnvelope(good).has_value());
    const auto garbled = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    for (const std::string& text : {
             garbled("envelope 2", "envelope 3"),         // unknown version
             garbled("traits\n", ""),                     // a version 2 field missing
             garbled("state deferred", "state sleeping"), // unknown state
             garbled("attempts 2", "attempts two"),
             garbled("attempts 2", "attempts 2 "),
             garbled("attempts 2", "attempts"),
             garbled("arrival 5", "arrival 99999999999999999999"), // overflow
             garbled("recipients 1", "recipients 2"),              // a recipient missing
             garbled("recipients 1", "recipients -1"),
             garbled("reason 451 later", "reason 45%1 later"),  // escape without two digits
             garbled("reason 451 later", "reason 451 later%4"), // escape cut off
             garbled("reason 451", "reason 4\r51"),             // raw control character
             garbled("sender s@x\n", ""),                       // a field missing
             garbled("next-attempt 9\n", "next-attempt 9\nnext-attempt 9\n"),
             garbled("id abc", "id ../abc"), // ids name files: letters and digits only
             garbled("id abc", "id"),
             garbled("end\n", "end\nmore\n"), // something after the end
             garbled("end\n", "end"),
             garbled("\n", "\r\n"),
             std::string(),
         }) {
        EXPECT_EQ(ParseEnvelope(text), std::nullopt) << text;
    }
}

TEST(Envelope, StateNamesRoundTrip) {
    for (const auto state : {RecipientState::pending, RecipientState::deferred,
                             RecipientState::delivered, RecipientState::failed}) {
        EXPECT_EQ(ParseState(StateName(state)), state);
    }
    EXPECT_EQ(StateName(RecipientState::deferred), "deferred");
    EXPECT_EQ(ParseState("Deferred"), std::nullopt);
    EXPECT_EQ(ParseState(""), std::nullopt);
}

TEST(RetrySchedule, DefaultRepeatsItsLastDelay) {
    const RetrySchedule schedule;
    EXPECT_EQ(schedule.ToString(), "60,300,900,1800,3600");
    EXPECT_EQ(schedule.DelayAfter(1), 60);
    EXPECT_EQ(schedule.DelayAfter(2), 300);
    EXPECT_EQ(schedule.DelayAfter(5), 3600);
    EXPECT_EQ(schedule.DelayAfter(6), 3600);
    EXPECT_EQ(schedule.DelayAfter(INT_MAX), 3600);
    EXPECT_EQ(schedule.DelayAfter(0), 60);
    EXPECT_EQ(schedule.DelayAfter(INT_MIN), 60);
    EXPECT_EQ(RetrySchedule::Parse(schedule.ToString()), schedule);
}

TEST(RetrySchedule, ParsesPositiveWholeSecondsWithBlanks) {
    const auto schedule = RetrySchedule::Parse(" 10 ,20,\t30 ");
    ASSERT_TRUE(schedule.has_value());
    EXPECT_EQ(schedule->ToString(), "10,20,30");
    EXPECT_EQ(schedule->DelayAfter(3), 30);
    EXPECT_EQ(schedule->DelayAfter(4), 30);
    EXPECT_EQ(RetrySchedule::Parse("7")->DelayAfter(9), 7);
    EXPECT_EQ(RetrySchedule::Parse("9223372036854775807")->DelayAfter(1), INT64_MAX);
}

TEST(RetrySchedule, RefusesAnythingElse) {
    for (const char* text :
         {"", " ", ",", "10,", ",10", "10,,20", "0", "10,0", "-5", "+5", "1.5", "10 20", "abc",
          "0x10", "10;20", "9223372036854775808", "99999999999999999999"}) {
        EXPECT_EQ(RetrySchedule::Parse(text), std::nullopt) << text;
    }
}

} // namespace
} // namespace lumenpost
