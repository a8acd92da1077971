#include "relay/message_header_reader.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using Strings = std::vector<std::string>;

TEST(HeaderEnd, EndsAtTheEmptyLineAtALineThatIsNoFieldOrAtTheEnd) {
    const std::string separated = "To: a@b.test\r\n folded\r\nSubject: x\r\n\r\nbody\r\n";
    EXPECT_EQ(FindHeaderEnd(separated, false), (HeaderBounds{35, 37, true}));
    EXPECT_EQ(FindHeaderEnd("To: a@b.test\n\nbody\n", false), (HeaderBounds{13, 14, true}));
    // No empty line: the first line that is no field starts the body.
    EXPECT_EQ(FindHeaderEnd("Subject: x\r\nno field here\r\n", false),
              (HeaderBounds{12, 12, false}));
    EXPECT_EQ(FindHeaderEnd("just text\r\n", false), (HeaderBounds{0, 0, false}));
    EXPECT_EQ(FindHeaderEnd(" continues nothing\r\n", true), (HeaderBounds{0, 0, false}));
    EXPECT_EQ(FindHeaderEnd("From alice Mon Jan  1\r\nTo: a@b\r\n", false),
              (HeaderBounds{0, 0, false}));
    // The obsolete form with blanks before the colon is a field.
    EXPECT_EQ(FindHeaderEnd("Subject : x\r\n\r\n", false), (HeaderBounds{13, 15, true}));
    EXPECT_EQ(FindHeaderEnd("Subject: x\r\n", true), (HeaderBounds{12, 12, false}));
    EXPECT_EQ(FindHeaderEnd("", true), (HeaderBounds{0, 0, false}));
}

TEST(HeaderEnd, WaitsForMoreTextWhileTheHeaderMayGoOn) {
    for (const char* text : {"", "Subj", "Subject: x", "Subject: x\r\n", "Subject: x\r\n\r",
                             "Subject: x\r\n\tmore\r\n"}) {
        EXPECT_EQ(FindHeaderEnd(text, false), std::nullopt) << text;
        EXPECT_TRUE(FindHeaderEnd(text, true).has_value()) << text;
    }
    // A line is known to be no field before it ends.
    EXPECT_EQ(FindHeaderEnd("Subject: x\r\nHello world, this", false),
              (HeaderBounds{12, 12, false}));
}

TEST(HeaderFields, KeepTheirTextAndUnfold) {
    const std::string header = "To: a@b.test,\r\n\t c@d.test\r\nX-Y:\r\n";
    const std::vector<HeaderField> fields = SplitHeaderFields(header);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].name, "To");
    EXPECT_EQ(fields[0].text, "To: a@b.test,\r\n\t c@d.test\r\n");
    EXPECT_EQ(fields[0].UnfoldedBody(), " a@b.test,\t c@d.test");
    EXPECT_EQ(fields[1].name, "X-Y");
    EXPECT_EQ(fields[1].UnfoldedBody(), "");
}

TEST(AddressLists, TakeTheMailboxAsWrittenWithoutNamesCommentsOrBlanks) {
    EXPECT_EQ(ParseAddressList(" a@b.test, Joe Q. Public <joe@c.test> (work), "
                               "\"Doe, Jane\" <jane@d.test>")
                  .addresses,
              (Strings{"a@b.test", "joe@c.test", "jane@d.test"}));
    // Commas and blanks inside a quoted local part belong to the address.
    EXPECT_EQ(ParseAddressList("<\"j, d\"@e.test>, \"a b\\\"c\"@f.test").addresses,
              (Strings{"\"j, d\"@e.test", "\"a b\\\"c\"@f.test"}));
    // Comments (nested, with quoted parentheses) and folding blanks go.
    EXPECT_EQ(ParseAddressList("x (one (two) \\) three) @ g.test (c), y . z@[192.0.2.1]").addresses,
              (Strings{"x@g.test", "y.z@[192.0.2.1]"}));
    // A source route is dropped; empty entries are skipped.
    EXPECT_EQ(ParseAddressList(",<@r1.test,@r2.test:u@h.test>,,").addresses, (Strings{"u@h.test"}));
    EXPECT_TRUE(ParseAddressList("").addresses.empty());
}

TEST(AddressLists, GroupsGiveTheirMembers) {
    const AddressList list =
        ParseAddressList("Team: a@b.test, Ann <c@d.test>;, undisclosed-recipients:;, e@f.test");
    EXPECT_EQ(list.addresses, (Strings{"a@b.test", "c@d.test", "e@f.test"}));
    EXPECT_TRUE(list.unreadable.empty());
    // Groups do not nest.
    EXPECT_EQ(ParseAddressList("A: B: x@y.test;;").addresses, Strings{});
}

TEST(AddressLists, EntriesWithoutAMailboxAreNamedAndTheRestStillRead) {
    const AddressList list =
        ParseAddressList("root, john doe@x.test, a@b.test c@d.test, <>, \"open@x.test, ok@y.test");
    EXPECT_EQ(list.addresses, Strings{});
    EXPECT_EQ(list.unreadable, (Strings{"root", "john doe@x.test", "a@b.test c@d.test", "<>",
                                        "\"open@x.test, ok@y.test"}));
    EXPECT_EQ(ParseAddressList("@x.test, ok@y.test, <a@b.test, (open").unreadable,
              (Strings{"@x.test", "<a@b.test", "(open"}));
    EXPECT_EQ(ParseAddressList("@x.test, ok@y.test").addresses, Strings{"ok@y.test"});
}

TEST(MessageHeader, BccFieldsGoAndEverythingElseStaysByteForByte) {
    const std::string header = "From: s@a.test\r\n"
                               "To: Ann <ann@b.test>,\r\n bob@c.test\r\n"
                               "bcc: hidden@d.test,\r\n\t(second line) other@e.test\r\n"
                               "Subject: Bcc: not a field\r\n"
                               "Cc: team: carl@f.test;\r\n"
                               "BCC: last@g.test\r\n";
    const HeaderReading reading = ReadMessageHeader(header);
    EXPECT_EQ(reading.withoutBcc, "From: s@a.test\r\n"
                                  "To: Ann <ann@b.test>,\r\n bob@c.test\r\n"
                                  "Subject: Bcc: not a field\r\n"
                                  "Cc: team: carl@f.test;\r\n");
    EXPECT_EQ(reading.recipients, (Strings{"ann@b.test", "bob@c.test", "hidden@d.test",
                                           "other@e.test", "carl@f.test", "last@g.test"}));
    EXPECT_TRUE(reading.unreadable.empty());
    EXPECT_FALSE(reading.hasDate);
    EXPECT_FALSE(reading.hasMessageId);
}

TEST(MessageHeader, FindsDateAndMessageIdInAnyCaseAndNamesUnreadableEntries) {
    const HeaderReading reading = ReadMessageHeader(
        "DATE: Mon, 1 Jan 2024 00:00:00 +0000\r\nmessage-id: <1@x>\r\nTo: nobody\r\n");
    EXPECT_TRUE(reading.hasDate);
    EXPECT_TRUE(reading.hasMessageId);
    EXPECT_EQ(reading.unreadable, Strings{"To: nobody"});
    const HeaderReading others =
        ReadMessageHeader("Resent-Date: x\r\nX-Message-ID: y\r\nDate-Of-Birth: z\r\n");
    EXPECT_FALSE(others.hasDate);
    EXPECT_FALSE(others.hasMessageId);
}

} // namespace
} // namespace lumenpost
