#include "delivery/tcp_blocking_socket.h"
#include "loopback.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>

namespace lumenpost {
namespace {

using test::Descriptor;

// A connected client socket and the accepted server end of it.
class BlockingSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        Descriptor listener = test::BindLoopback(SOCK_STREAM);
        ASSERT_GE(listener.Get(), 0);
        client_.OpenHandle();
        client_.ConnectTo("127.0.0.1", test::PortText(listener.Get()));
        ASSERT_EQ(client_.ErrorCode(), 0);
        peer_ = test::AcceptOne(listener.Get());
        ASSERT_GE(peer_.Get(), 0);
        client_.StatusHook = [this](TBlockingSocket&, int reason, const std::string&) {
            if (reason == 10) {
                ++receives_;
            }
        };
    }

    void PeerSends(const std::string& text) { ASSERT_TRUE(test::SendAll(peer_.Get(), text)); }

    TTcpBlockingSocket client_;
    Descriptor peer_;
    int receives_ = 0;
};

TEST_F(BlockingSocketTest, LineSplitOverPacketsIsJoined) {
    std::thread writer([this] {
        test::SendAll(peer_.Get(), "250 first ");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        test::SendAll(peer_.Get(), "half\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        test::SendAll(peer_.Get(), "\nrest");
    });
    const std::string line = client_.ReadLine(test::kPeerWaitMs);
    writer.join();
    EXPECT_EQ(line, "250 first half");
    EXPECT_EQ(client_.ErrorCode(), 0);
}

TEST_F(BlockingSocketTest, TwoLinesInOnePacketAndLeftoverComeWithoutAnotherReceive) {
    PeerSends("one\r\ntwo\r\nleft");
    ASSERT_TRUE(client_.WaitReadable(test::kPeerWaitMs));
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), "one");
    EXPECT_EQ(receives_, 1);
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), "two");
    EXPECT_EQ(client_.PendingInput(), "left");
    EXPECT_EQ(client_.ReadPacket(0), "left");
    EXPECT_EQ(receives_, 1);
    EXPECT_EQ(client_.ErrorCode(), 0);
    EXPECT_TRUE(client_.PendingInput().empty());
}

TEST_F(BlockingSocketTest, ClosingPeerGivesConnectionReset) {
    PeerSends("partial");
    peer_.Reset();
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), "");
    EXPECT_EQ(client_.ErrorCode(), 10054);
    EXPECT_EQ(client_.ReadPacket(test::kPeerWaitMs), "");
    EXPECT_EQ(client_.ErrorCode(), 10054);
}

TEST_F(BlockingSocketTest, SilentPeerTimesOut) {
    EXPECT_EQ(client_.ReadLine(100), "");
    EXPECT_EQ(client_.ErrorCode(), 10060);
}

TEST(TcpConnectTest, EitherFamilyReplacesTheSocketHeldAndRecordsBothEnds) {
    for (const int family : {AF_INET, AF_INET6}) {
        const Descriptor listener = test::BindLoopback(SOCK_STREAM, family);
        if (listener.Get() < 0) {
            ASSERT_EQ(family, AF_INET6);
            GTEST_SKIP() << "::1 is not available on this machine; IPv6 connects are not tested";
        }
        const auto port = static_cast<std::uint16_t>(std::stoi(test::PortText(listener.Get())));
        const SocketAddress address =
            *SocketAddress::FromText(family == AF_INET6 ? "::1" : "127.0.0.1", port);
        TTcpBlockingSocket client;
        client.OpenHandle();
        client.ConnectTimeoutMs = test::kPeerWaitMs;
        client.ConnectTo(address);
        EXPECT_EQ(client.ErrorCode(), 0);
        EXPECT_EQ(client.Family(), family);
        EXPECT_EQ(client.RemoteAddress(), address);
        EXPECT_EQ(client.LocalAddress().Family(), family);
        EXPECT_NE(client.LocalAddress().Port(), 0);
    }
}

TEST(TcpConnectTest, NamesResolveThroughTheSystem) {
    const Descriptor listener = test::BindLoopback(SOCK_STREAM);
    TTcpBlockingSocket client;
    client.ConnectTimeoutMs = test::kPeerWaitMs;
    client.ConnectTo("localhost", test::PortText(listener.Get()));
    EXPECT_EQ(client.ErrorCode(), 0);
    EXPECT_EQ(client.RemoteAddress().HostText(), "127.0.0.1");
}

} // namespace
} // namespace lumenpost
