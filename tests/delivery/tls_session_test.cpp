#include "delivery/tcp_blocking_socket.h"
#include "tls_test_peer.h"

#include <functional>
#include <gtest/gtest.h>
#include <thread>

namespace lumenpost {
namespace {

using test::PeerChannel;

// A client socket connected to a peer thread that runs `peer` on the accepted end.
class TlsSessionTest : public ::testing::Test {
protected:
    void Connect(std::function<void(PeerChannel&)> peer) {
        test::Descriptor listener = test::BindLoopback(SOCK_STREAM);
        ASSERT_GE(listener.Get(), 0);
        client_.ConnectTimeoutMs = test::kPeerWaitMs;
        client_.ConnectTo("127.0.0.1", test::PortText(listener.Get()));
        ASSERT_EQ(client_.ErrorCode(), 0);
        peer_ = std::thread([listener = std::move(listener), peer = std::move(peer)] {
            PeerChannel channel(test::AcceptOne(listener.Get()));
            if (channel.Valid()) {
                peer(channel);
            }
        });
    }
    void TearDown() override {
        client_.ReleaseHandle();
        if (peer_.joinable()) {
            peer_.join();
        }
    }

    TTcpBlockingSocket client_;
    std::thread peer_;
};

TEST_F(TlsSessionTest, LinesGoBothWaysEncryptedAndTheServerIsNamed) {
    std::string heard;
    std::string serverName;
    Connect([&](PeerChannel& channel) {
        if (channel.Encrypt()) {
            serverName = channel.ServerName();
            channel.ReceiveLine(heard);
            channel.Send("250-first\r\n250 second\r\n");
            std::string rest;
            channel.ReceiveLine(rest);
        }
    });
    ASSERT_TRUE(client_.StartTls("mx.example.", test::kPeerWaitMs)) << client_.TlsFailure();
    EXPECT_TRUE(client_.Encrypted());
    EXPECT_EQ(client_.WriteText("EHLO client.example\r\n"), 21);
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), "250-first");
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), "250 second");
    EXPECT_EQ(client_.ErrorCode(), 0);
    // Nothing more comes: the wait ends in time and the session stays usable.
    EXPECT_EQ(client_.ReadLine(100), "");
    EXPECT_EQ(client_.ErrorCode(), 10060);
    EXPECT_EQ(client_.WriteText("QUIT\r\n"), 6);
    EXPECT_TRUE(client_.TlsDescription().starts_with("TLSv1.")) << client_.TlsDescription();
    client_.ReleaseHandle();
    peer_.join();
    EXPECT_EQ(heard, "EHLO client.example");
    EXPECT_EQ(serverName, "mx.example");
}

TEST_F(TlsSessionTest, AddressesAreNotNamed) {
    for (const std::string name :
         {"[192.0.2.7]", "192.0.2.7", "[IPv6:2001:db8::7]", "2001:db8::7"}) {
        SCOPED_TRACE(name);
        std::string serverName = "unset";
        Connect([&](PeerChannel& channel) {
            if (channel.Encrypt()) {
                serverName = channel.ServerName();
            }
        });
        EXPECT_TRUE(client_.StartTls(name, test::kPeerWaitMs)) << client_.TlsFailure();
        TearDown();
        EXPECT_EQ(serverName, "");
    }
}

TEST_F(TlsSessionTest, PeerClosingGivesConnectionReset) {
    Connect([](PeerChannel& channel) {
        if (channel.Encrypt()) {
            channel.Send("250 last\r\n");
        }
    });
    ASSERT_TRUE(client_.StartTls("mx.example", test::kPeerWaitMs));
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), "250 last");
    peer_.join();
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), "");
    EXPECT_EQ(client_.ErrorCode(), 10054);
}

TEST_F(TlsSessionTest, ClearInputBeforeTheHandshakeIsDropped) {
    std::string heard;
    Connect([&](PeerChannel& channel) {
        channel.Send("220 go ahead\r\n");
        std::string command;
        channel.ReceiveLine(command);
        // Sent in clear behind the reply to STARTTLS, as an attacker on the path might. The
        // client starts the handshake only after this reply, so the command was read alone.
        channel.Send("220 ready\r\n250 injected\r\n");
        if (channel.Encrypt()) {
            channel.Send("250 genuine\r\n");
            channel.ReceiveLine(heard);
        }
    });
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), "220 go ahead");
    client_.WriteText("STARTTLS\r\n");
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), "220 ready");
    ASSERT_TRUE(client_.StartTls("mx.example", test::kPeerWaitMs)) << client_.TlsFailure();
    EXPECT_EQ(client_.ReadLine(test::kPeerWaitMs), "250 genuine");
    client_.WriteText("QUIT\r\n");
    TearDown();
    EXPECT_EQ(heard, "QUIT");
}

TEST_F(TlsSessionTest, HandshakeFailuresSayWhy) {
    Connect([](PeerChannel& channel) {
        channel.Send("this is no TLS server hello, but a long enough line of text\r\n");
        std::string ignored;
        channel.ReceiveLine(ignored);
    });
    EXPECT_FALSE(client_.StartTls("mx.example", test::kPeerWaitMs));
    EXPECT_FALSE(client_.Encrypted());
    EXPECT_FALSE(client_.TlsFailure().empty());
    EXPECT_EQ(client_.ErrorCode(), 10054);
    TearDown();

    Connect([](PeerChannel& channel) {
        std::string ignored;
        channel.ReceiveLine(ignored);
    });
    EXPECT_FALSE(client_.StartTls("mx.example", 100));
    EXPECT_EQ(client_.ErrorCode(), 10060);
    EXPECT_TRUE(client_.TlsDescription().empty());
}

} // namespace
} // namespace lumenpost
