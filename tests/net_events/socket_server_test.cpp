#include "net_events/socket_server.h"
#include "net_test_support.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using test::BlockingPeer;
using test::RunUntil;

// A server on an ephemeral loopback port that records its client events.
class ServerTest : public ::testing::Test {
protected:
    void Start(std::int32_t maxClients) {
        server.SetMaxClients(maxClients);
        server.OnClientCreate = [this](TCustomSocketServer& sender, TSocketClient& client) {
            EXPECT_EQ(&sender, &server);
            EXPECT_EQ(client.State(), TSocketState::wsClosed);
            ++created;
        };
        server.OnClientDisconnect = [this](TCustomSocketServer&, TSocketClient& client,
                                           std::uint16_t error) {
            EXPECT_EQ(error, 0);
            EXPECT_EQ(client.State(), TSocketState::wsClosed);
            disconnected.push_back(client.Name() + " " + client.PeerAddr());
        };
        test::ListenOnLoopback(server);
    }
    // Connects a new peer and waits until the server has made its client.
    std::unique_ptr<BlockingPeer> Connect() {
        const int before = created;
        auto peer = std::make_unique<BlockingPeer>(test::BoundPort(server));
        EXPECT_TRUE(RunUntil([&] { return created > before; }));
        return peer;
    }

    TSocketServer server;
    int created = 0;
    std::vector<std::string> disconnected;
};

TEST_F(ServerTest, BusyClientIsRefusedUntilASlotIsFree) {
    Start(2);
    auto first = Connect();
    auto second = Connect();
    auto third = Connect();
    EXPECT_EQ(first->Read(23), "Welcome to the server\r\n");
    EXPECT_EQ(second->Read(23), "Welcome to the server\r\n");
    EXPECT_EQ(third->ReadToClose(), "Sorry, too many clients\r\n");
    ASSERT_TRUE(RunUntil([&] { return server.CountClients() == 2; }));
    EXPECT_EQ(disconnected, (std::vector<std::string>{"Client3 127.0.0.1"}));

    first->Close();
    ASSERT_TRUE(RunUntil([&] { return server.CountClients() == 1; }));
    EXPECT_EQ(disconnected.back(), "Client1 127.0.0.1");
    EXPECT_EQ(server.ClientAt(0)->Name(), "Client2");

    auto fourth = Connect();
    EXPECT_EQ(fourth->Read(23), "Welcome to the server\r\n");
    EXPECT_EQ(server.CountClients(), 2);
    EXPECT_EQ(server.ClientAt(1)->Name(), "Client4");
    EXPECT_EQ(server.ClientAt(-1), nullptr);
    EXPECT_EQ(server.ClientAt(2), nullptr);
    EXPECT_EQ(server.AcceptCounter(), 4);
}

TEST_F(ServerTest, EndedClientStaysListedUntilItsNoticeIsHandled) {
    Start(0);
    auto peer = Connect();
    TSocketClient* client = server.ClientAt(0);
    ASSERT_NE(client, nullptr);
    int countInsideClose = -1;
    client->OnSessionClosed = [&](TCustomAsyncSocket&, std::uint16_t) {
        countInsideClose = server.CountClients();
    };
    peer->Close();
    ASSERT_TRUE(RunUntil([&] { return server.CountClients() == 0; }));
    EXPECT_EQ(countInsideClose, 1);
    EXPECT_EQ(disconnected.size(), 1U);
}

// A peer that reconnects right after the server ended its connection (as the mail server
// does after its goodbye), while the ended client is still listed, takes the slot that
// client held instead of being refused as busy.
TEST_F(ServerTest, EndedClientHoldsNoSlotWhileStillListed) {
    Start(1);
    auto first = Connect();
    EXPECT_EQ(first->Read(23), "Welcome to the server\r\n");
    TSocketClient* client = server.ClientAt(0);
    ASSERT_NE(client, nullptr);
    std::unique_ptr<BlockingPeer> second;
    int listedAtAccept = 0;
    client->OnSessionClosed = [&](TCustomAsyncSocket&, std::uint16_t) {
        second = Connect(); // pumps events: the accept runs before the ended client goes
        listedAtAccept = server.CountClients();
    };
    client->CloseAfterSending();
    ASSERT_TRUE(RunUntil([&] { return second != nullptr && server.CountClients() == 1; }));
    EXPECT_EQ(listedAtAccept, 2);
    EXPECT_EQ(second->Read(23), "Welcome to the server\r\n");
    EXPECT_EQ(server.ClientAt(0)->Name(), "Client2");
}

TEST_F(ServerTest, ClientPumpingEventsInItsHandlerIsNotFreedUnderIt) {
    Start(0);
    auto peer = Connect();
    TSocketClient* client = server.ClientAt(0);
    ASSERT_NE(client, nullptr);
    bool listedAfterPump = false;
    client->OnSessionClosed = [&](TCustomAsyncSocket& sender, std::uint16_t) {
        test::Settle(50);
        listedAfterPump = server.CountClients() == 1;
        sender.SetName("still alive");
    };
    peer->Close();
    ASSERT_TRUE(RunUntil([&] { return server.CountClients() == 0; }));
    EXPECT_TRUE(listedAfterPump);
}

TEST_F(ServerTest, ClosingInClientConnectPreventsTheBanner) {
    Start(0);
    server.OnClientConnect = [](TCustomSocketServer&, TSocketClient& client, std::uint16_t) {
        client.Disconnect();
    };
    auto peer = Connect();
    EXPECT_EQ(peer->ReadToClose(), "");
    ASSERT_TRUE(RunUntil([&] { return server.CountClients() == 0; }));
    EXPECT_EQ(disconnected.size(), 1U);
}

// The way the mail server uses it: its own greeting from OnClientConnect, an
// empty Banner, and a derived client class.
class GreetedClient : public TSocketClient {
public:
    int greetings = 0;
};

TEST_F(ServerTest, FactoryClientsGreetThemselvesAndRefusalFollowsTheGreeting) {
    server.SetBanner("");
    server.SetBannerToBusy("502 busy");
    server.SetName("Smtp");
    server.SetClientFactory([](TCustomSocketServer&) { return std::make_unique<GreetedClient>(); });
    server.OnClientConnect = [](TCustomSocketServer&, TSocketClient& client, std::uint16_t) {
        auto& greeted = dynamic_cast<GreetedClient&>(client);
        ++greeted.greetings;
        client.SendText("220 hi\r\n");
    };
    Start(1);
    auto first = Connect();
    auto second = Connect();
    EXPECT_EQ(second->ReadToClose(), "220 hi\r\n502 busy\r\n");
    first->Write("x");
    EXPECT_EQ(first->Read(8), "220 hi\r\n");
    ASSERT_TRUE(RunUntil([&] { return server.CountClients() == 1; }));
    EXPECT_EQ(disconnected, (std::vector<std::string>{"SmtpClient2 127.0.0.1"}));
    EXPECT_EQ(dynamic_cast<GreetedClient*>(server.ClientAt(0))->greetings, 1);
}

TEST(SocketServer, DestructionFreesLiveClientsWithoutEvents) {
    const int before = LiveSocketCount();
    std::unique_ptr<BlockingPeer> peer;
    int disconnects = 0;
    {
        TSocketServer server;
        server.OnClientDisconnect = [&](TCustomSocketServer&, TSocketClient&, std::uint16_t) {
            ++disconnects;
        };
        test::ListenOnLoopback(server);
        peer = std::make_unique<BlockingPeer>(test::BoundPort(server));
        ASSERT_TRUE(RunUntil([&] { return server.CountClients() == 1; }));
        EXPECT_EQ(LiveSocketCount(), before + 2);
    }
    EXPECT_EQ(LiveSocketCount(), before);
    EXPECT_EQ(peer->ReadToClose(), "Welcome to the server\r\n");
    test::Settle();
    EXPECT_EQ(disconnects, 0);
}

} // namespace
} // namespace lumenpost
