#include "platform/socket_error.h"
#include "platform/tick.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <netdb.h>
#include <thread>

namespace lumenpost {
namespace {

TEST(SocketErrorTest, ErrnoMapsOntoClassicNumbers) {
    EXPECT_EQ(SocketErrorFromErrno(0), 0);
    EXPECT_EQ(SocketErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(SocketErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(SocketErrorFromErrno(EAGAIN), 10035);
    EXPECT_EQ(SocketErrorFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(SocketErrorFromErrno(EPIPE), 10054);
    EXPECT_EQ(SocketErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(SocketErrorFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(SocketErrorFromErrno(ETIMEDOUT), 10060);
    // EDEADLK is 35 on Linux: it must not be confused with "would block" (10035).
    EXPECT_EQ(SocketErrorFromErrno(EDEADLK), socket_error::kUnmappedBase + EDEADLK);
}

TEST(SocketErrorTest, ResolverFailuresMapOntoHostLookupCodes) {
    EXPECT_EQ(SocketErrorFromResolver(0), 0);
    EXPECT_EQ(SocketErrorFromResolver(EAI_NONAME), 11001);
    EXPECT_EQ(SocketErrorFromResolver(EAI_AGAIN), 11002);
    EXPECT_EQ(SocketErrorFromResolver(EAI_FAIL), 11003);
}

TEST(SocketErrorTest, LastErrorIsPerThread) {
    errno = ECONNRESET;
    EXPECT_EQ(CaptureSocketError(), 10054);
    int other = -1;
    std::thread([&other] { other = LastSocketError(); }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(LastSocketError(), 10054);
    SetLastSocketError(0);
}

TEST(TickTest, DifferenceSurvivesWrap) {
    EXPECT_EQ(TicksBetween(0xFFFFFFF0u, 0x10u), 0x20u);
    const std::uint32_t before = TickCount();
    SleepMs(5);
    EXPECT_GE(TicksBetween(before, TickCount()), 5u);
}

} // namespace
} // namespace lumenpost
