#include "relay/hop_counter.h"

#include <gtest/gtest.h>
#include <string>

namespace lumenpost {
namespace {

const std::string kHeader = "Received: from a\r\n\tby b\r\nreceived:from c\r\nRECEIVED: x\r\n"
                            "X-Received: not one\r\nSubject: Received: no\r\n\r\n"
                            "Received: in the body\r\n";

// A line of two CRs is no blank line, also when the CRs arrive in separate pieces.
TEST(HopCounterTest, ACarriageReturnCutOffFromTheNextDoesNotEndTheHeader) {
    const std::string text = "Received: a\r\n\r\r\nReceived: b\r\n\r\nReceived: body\r\n";
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        HopCounter counter;
        counter.Add(text.substr(0, cut));
        counter.Add(text.substr(cut));
        ASSERT_EQ(counter.Hops(), 2) << "cut at " << cut;
    }
}

TEST(HopCounterTest, CountsReceivedFieldsOfTheHeaderWhereverTheTextIsCut) {
    for (std::size_t cut = 0; cut <= kHeader.size(); ++cut) {
        for (std::size_t second = cut; second <= kHeader.size(); second += 7) {
            HopCounter counter;
            counter.Add(kHeader.substr(0, cut));
            counter.Add(kHeader.substr(cut, second - cut));
            counter.Add(kHeader.substr(second));
            ASSERT_EQ(counter.Hops(), 3) << "cut at " << cut << " and " << second;
        }
    }
    HopCounter counter;
    counter.Add(kHeader);
    counter.Reset();
    counter.Add("Received: one\r\n");
    EXPECT_EQ(counter.Hops(), 1);
}

} // namespace
} // namespace lumenpost
