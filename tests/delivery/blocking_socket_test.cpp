#include "delivery/block_socket_error.h"
#include "delivery/tcp_blocking_socket.h"
#include "delivery/udp_blocking_socket.h"
#include "loopback.h"

#include <arpa/inet.h>
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

TEST_F(BlockingSocketTest, LineLengthLimitStopsAnEndlessLine) {
    client_.LineLengthLimit = 16;
    PeerSends(std::string(40, 'x'));
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), "");
    EXPECT_EQ(client_.ErrorCode(), 10055);

    client_.LineLengthLimit = 0;
    const std::string longLine(200000, 'y');
    std::thread writer([this, &longLine] { test::SendAll(peer_.Get(), longLine + "\r\n"); });
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), longLine);
    writer.join();
}

TEST_F(BlockingSocketTest, RaiseOnErrorThrowsWithCodeAndText) {
    client_.RaiseOnError = true;
    try {
        client_.ReadPacket(10);
        FAIL() << "no error raised";
    } catch (const EBlockSocketError& error) {
        EXPECT_EQ(error.Code, 10060);
        EXPECT_EQ(error.Description, "Connection timed out");
        EXPECT_STREQ(error.what(), "TCP/IP Socket error 10060: Connection timed out");
    }
}

TEST_F(BlockingSocketTest, ReleaseTwiceIsHarmless) {
    client_.ReleaseHandle();
    client_.ReleaseHandle();
    EXPECT_LT(client_.SocketHandle(), 0);
}

TEST(BlockingSocketAddressTest, PortsFromServicesAndNumbers) {
    TTcpBlockingSocket tcp;
    tcp.OpenHandle();
    sockaddr_in address{};
    tcp.FillAddress(address, "127.0.0.1", "smtp");
    EXPECT_EQ(ntohs(address.sin_port), 25);
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    tcp.FillAddress(address, "localhost", "2525");
    EXPECT_EQ(ntohs(address.sin_port), 2525);
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    tcp.FillAddress(address, "255.255.255.255", "no-such-service");
    EXPECT_EQ(ntohs(address.sin_port), 0);
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_BROADCAST));

    TUdpBlockingSocket udp;
    udp.OpenHandle();
    EXPECT_EQ(udp.Protocol(), 17);
    udp.FillAddress(address, "127.0.0.1", "domain");
    EXPECT_EQ(ntohs(address.sin_port), 53);
}

TEST(BlockingSocketAddressTest, ConnectRefusedIsRecorded) {
    Descriptor unused = test::BindLoopback(SOCK_DGRAM);
    TTcpBlockingSocket tcp;
    tcp.OpenHandle();
    tcp.ConnectTo("127.0.0.1", test::PortText(unused.Get()));
    EXPECT_EQ(tcp.ErrorCode(), 10061);
}

TEST(BlockingSocketErrorTextTest, TableAndUnknownCodes) {
    EXPECT_EQ(TBlockingSocket::GetErrorDesc(0), "OK");
    EXPECT_EQ(TBlockingSocket::GetErrorDesc(10054), "Connection reset by peer");
    EXPECT_EQ(TBlockingSocket::GetErrorDesc(11004), "Valid name, no data record of requested type");
    EXPECT_EQ(TBlockingSocket::GetErrorDesc(12345), "Not a Winsock error (12345)");
}

} // namespace
} // namespace lumenpost
