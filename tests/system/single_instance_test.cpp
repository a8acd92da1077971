#include "system/single_instance.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace lumenpost {
namespace {

TEST(SingleInstance, ASecondCopyUnderTheSameNameMayNotRun) {
    QTemporaryDir dir;
    auto first = std::make_unique<TSingleInstance>();
    ASSERT_TRUE(first->Check(dir.path(), "/usr/bin/lumenpost"));

    TSingleInstance second;
    EXPECT_FALSE(second.Check(dir.path(), "/opt/other/lumenpost"));
    EXPECT_TRUE(second.Error().contains("another copy is already running"));
    EXPECT_TRUE(second.Error().contains(dir.filePath("lumenpost.lock")));

    // Another file name is another program as far as the guard knows.
    TSingleInstance renamed;
    EXPECT_TRUE(renamed.Check(dir.path(), "/usr/bin/Copy.Exe"));

    first.reset(); // the lock goes with its holder
    TSingleInstance third;
    EXPECT_TRUE(third.Check(dir.path(), "/usr/bin/lumenpost"));
}

TEST(SingleInstance, AMissingLockFolderIsReported) {
    TSingleInstance guard;
    EXPECT_FALSE(guard.Check("/nonexistent/lumenpost-test", "lumenpost"));
    EXPECT_TRUE(guard.Error().startsWith("cannot open the lock file"));
}

} // namespace
} // namespace lumenpost
