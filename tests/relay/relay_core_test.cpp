#include "relay/relay_core.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

TEST(RelayCore, NumbersEachLogOnItsOwnAndKeepsCountingAfterAClear) {
    RelayCore core;
    EXPECT_EQ(core.AddRelayed("a"), "1:a");
    EXPECT_EQ(core.AddFailed("b"), "1:b");
    EXPECT_EQ(core.AddRelayed("c"), "2:c");
    core.ClearRelayed();
    EXPECT_TRUE(core.okrelay().isEmpty());
    EXPECT_EQ(core.badrelay(), QStringList{"1:b"});
    EXPECT_EQ(core.AddRelayed("d"), "3:d");
    EXPECT_EQ(core.RelayedCount(), 3);
    EXPECT_EQ(core.FailedCount(), 1);
}

} // namespace
} // namespace lumenpost
