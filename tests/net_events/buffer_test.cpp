#include "net_events/buffer.h"

#include <gtest/gtest.h>
#include <string>

namespace lumenpost {
namespace {

std::string Unread(const TBuffer& buffer) {
    const auto view = buffer.PeekData();
    return {view.data(), view.size()};
}

TEST(Buffer, AppendsUpToCapacityAndReusesOnlyWhenEmptied) {
    TBuffer buffer(4);
    EXPECT_EQ(buffer.Append("abcdef", 6), 4);
    EXPECT_EQ(buffer.Append("x", 1), 0);
    EXPECT_EQ(buffer.Consume(3), 3);
    EXPECT_EQ(Unread(buffer), "d");
    EXPECT_EQ(buffer.Append("x", 1), 0);
    EXPECT_EQ(buffer.Consume(10), 1);
    EXPECT_EQ(buffer.WritePos(), 0);
    EXPECT_EQ(buffer.ReadPos(), 0);
    EXPECT_TRUE(buffer.PeekData().empty());
    EXPECT_EQ(buffer.Append("xyz", 3), 3);
    EXPECT_EQ(Unread(buffer), "xyz");
}

TEST(Buffer, SizesAndResizing) {
    EXPECT_EQ(TBuffer(0).Capacity(), 1514);
    EXPECT_EQ(TBuffer(-5).Capacity(), 1514);
    TBuffer buffer(8);
    buffer.Append("abcdef", 6);
    buffer.Resize(16);
    EXPECT_EQ(buffer.Capacity(), 16);
    EXPECT_EQ(Unread(buffer), "abcdef");
    // Shrinking below the held bytes keeps what fits instead of overrunning.
    buffer.Resize(3);
    EXPECT_EQ(Unread(buffer), "abc");
    buffer.Resize(0);
    EXPECT_EQ(buffer.Capacity(), 1514);
}

} // namespace
} // namespace lumenpost
