#include "relay/queue_fault_filter.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

constexpr std::string_view kFull1 = "cannot write /q/a1.data.tmp: No space left on device";
constexpr std::string_view kFull2 = "cannot write /q/b2.env.tmp: No space left on device";
constexpr std::string_view kReadOnly = "cannot create /q/c3.data.tmp: Read-only file system";

TEST(QueueFaultFilterTest, OneFaultIsNewsOnceWhateverTheMessageOrFile) {
    QueueFaultFilter filter;
    EXPECT_TRUE(filter.IsNews(kFull1));
    EXPECT_FALSE(filter.IsNews(kFull2));
    EXPECT_FALSE(filter.IsNews(kFull1));
}

TEST(QueueFaultFilterTest, AnotherCauseOrAFaultAfterTheQueueWorkedIsNewsAgain) {
    QueueFaultFilter filter;
    EXPECT_TRUE(filter.IsNews(kFull1));
    EXPECT_TRUE(filter.IsNews(kReadOnly));
    EXPECT_TRUE(filter.IsNews(kFull2));
    filter.Worked();
    EXPECT_TRUE(filter.IsNews(kFull1));
    EXPECT_FALSE(filter.IsNews(kFull1));
}

TEST(QueueFaultFilterTest, TheCauseIsTheReasonAtTheEndOrTheWholeText) {
    EXPECT_EQ(FaultCause(kReadOnly), "Read-only file system");
    EXPECT_EQ(FaultCause("cannot rename /q/a: b.tmp to /q/a: b: Not a directory"),
              "Not a directory");
    EXPECT_EQ(FaultCause("the message x was abandoned"), "the message x was abandoned");
    QueueFaultFilter filter;
    EXPECT_TRUE(filter.IsNews("the message x was abandoned"));
    EXPECT_TRUE(filter.IsNews("the message y was abandoned"));
}

} // namespace
} // namespace lumenpost
