#include "app/sendmail_message.h"

#include "memory_file.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

constexpr std::int64_t kLimit = 10 * 1024 * 1024;

struct Composed {
    ComposedMessage message;
    std::string text; // what the memory file holds
};

Composed Compose(std::string_view input, bool dotEnds = true, std::int64_t maxSize = kLimit) {
    const UniqueFd in = MemoryFile(input, false);
    lseek(in.Get(), 0, SEEK_SET);
    Composed composed{ComposeMessage(in.Get(), {dotEnds, maxSize, "relay.test"}), {}};
    if (composed.message.file.Valid()) {
        composed.text.resize(
            static_cast<std::size_t>(lseek(composed.message.file.Get(), 0, SEEK_END)));
        EXPECT_EQ(pread(composed.message.file.Get(), composed.text.data(), composed.text.size(), 0),
                  static_cast<ssize_t>(composed.text.size()));
    }
    return composed;
}

// std::regex draws false warnings from GCC 12 under the sanitizers; Qt's does not.
bool Matches(const std::string& text, const std::string& pattern) {
    return QRegularExpression(QRegularExpression::anchoredPattern(QString::fromStdString(pattern)))
        .match(QString::fromStdString(text))
        .hasMatch();
}

const std::string kAdded =
    "Date: [A-Z][a-z][a-z], \\d+ [A-Z][a-z][a-z] \\d{4} \\d\\d:\\d\\d:\\d\\d "
    "[+-]\\d{4}\r\nMessage-ID: <[0-9a-z]{16}@relay\\.test>\r\n";

TEST(ComposeMessage, BccGoesDateAndMessageIdComeAndTheFileIsSealed) {
    const Composed composed = Compose("From: s@a.test\nBcc: hidden@x.test,\n  h2@x.test\n"
                                      "To: a@b.test\n\nbody\n.\nnot read\n");
    ASSERT_EQ(composed.message.fault, ComposeFault::none) << composed.message.error;
    EXPECT_TRUE(
        Matches(composed.text, "From: s@a.test\r\nTo: a@b.test\r\n" + kAdded + "\r\nbody\r\n"))
        << composed.text;
    EXPECT_EQ(composed.message.headerRecipients,
              (std::vector<std::string>{"hidden@x.test", "h2@x.test", "a@b.test"}));
    const int seals = fcntl(composed.message.file.Get(), F_GET_SEALS);
    EXPECT_EQ(seals & (F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK),
              F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK);
}

TEST(ComposeMessage, AHeaderWithDateAndMessageIdIsKeptAsItIs) {
    const std::string text = "Date: Mon, 1 Jan 2024 00:00:00 +0000\r\nMessage-Id: <1@x>\r\n"
                             "Subject: s\r\n\r\n.\r\n..\r\n";
    EXPECT_EQ(Compose(text, false).text, text);
    // The header may end the message; a long body streams past the header's buffer.
    EXPECT_EQ(Compose("Date: d\nMessage-ID: m\n").text, "Date: d\r\nMessage-ID: m\r\n");
    const std::string body(3 * kLongestHeader, 'y');
    EXPECT_EQ(Compose("Date: d\nMessage-ID: m\n\n" + body).text,
              "Date: d\r\nMessage-ID: m\r\n\r\n" + body + "\r\n");
}

TEST(ComposeMessage, TextWithoutHeaderGetsTheFieldsAndAnEmptyLineBeforeIt) {
    EXPECT_TRUE(Matches(Compose("just a line\nTo: not a field here\n").text,
                        kAdded + "\r\njust a line\r\nTo: not a field here\r\n"));
    EXPECT_TRUE(Matches(Compose("").text, kAdded));
}

TEST(ComposeMessage, RefusesWhatIsNoTextOrTooLarge) {
    const std::string nul(1, '\0');
    EXPECT_EQ(Compose("Subject: x\n\nbin" + nul + "ary\n").message.fault, ComposeFault::notText);
    EXPECT_EQ(Compose("Subj" + nul + "ect: x\n\n").message.fault, ComposeFault::notText);
    std::string endless;
    while (endless.size() <= kLongestHeader) {
        endless += "X-Filler: yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy\n";
    }
    EXPECT_EQ(Compose(endless).message.fault, ComposeFault::notText);
    const Composed large = Compose("Date: d\nMessage-ID: m\n\n" + std::string(200, 'z'), true, 100);
    EXPECT_EQ(large.message.fault, ComposeFault::tooLarge);
    EXPECT_FALSE(large.message.file.Valid());
    EXPECT_NE(large.message.error.find("100 octets"), std::string::npos);
}

} // namespace
} // namespace lumenpost
