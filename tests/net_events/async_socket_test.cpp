#include "net_events/async_socket.h"
#include "net_events/socket_exception.h"
#include "net_test_support.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>

namespace lumenpost {
namespace {

using test::AcceptedConnection;
using test::BlockingPeer;
using test::RunUntil;

template <typename Call> std::string FailureText(Call call) {
    try {
        call();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "no failure";
}

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    return bytes;
}

TEST(AsyncSocket, PeerThatSendsAndClosesAtOnceDeliversAllDataThenOneClose) {
    AcceptedConnection link;
    std::string received;
    std::vector<std::string> events;
    ASSERT_TRUE(link.Open([&](TAsyncSocket& s) {
        s.OnDataAvailable = [&](TCustomAsyncSocket& sender, std::uint16_t) {
            received += sender.ReceiveText();
            events.emplace_back("data");
        };
        s.OnSessionClosed = [&](TCustomAsyncSocket& sender, std::uint16_t error) {
            EXPECT_EQ(error, 0);
            EXPECT_EQ(sender.State(), TSocketState::wsConnected);
            events.emplace_back("closed");
        };
        s.OnChangeState = [&](TCustomAsyncSocket&, TSocketState, TSocketState to) {
            if (to == TSocketState::wsClosed) {
                events.emplace_back("state closed");
            }
        };
    }));
    const std::string payload = Pattern(20000);
    link.peer->Write(payload);
    link.peer->Close();
    ASSERT_TRUE(RunUntil([&] { return link.server->State() == TSocketState::wsClosed; }));
    test::Settle();
    EXPECT_EQ(received, payload);
    ASSERT_GE(events.size(), 3U);
    EXPECT_EQ(events[events.size() - 2], "closed");
    EXPECT_EQ(events.back(), "state closed");
    EXPECT_EQ(std::count(events.begin(), events.end(), "closed"), 1);
}

TEST(AsyncSocket, SendLargerThanTheSendBufferDrainsThroughWriteReadiness) {
    AcceptedConnection link;
    ASSERT_TRUE(link.Open());
    const int small = 4096;
    setsockopt(link.server->Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    std::vector<std::int32_t> sends;
    int dataSent = 0;
    link.server->OnSendData = [&](TCustomAsyncSocket&, std::int32_t n) { sends.push_back(n); };
    link.server->OnDataSent = [&](TCustomAsyncSocket&, std::uint16_t error) {
        EXPECT_EQ(error, 0);
        ++dataSent;
    };
    const std::string payload = Pattern(1 << 20);
    EXPECT_EQ(link.server->Send(payload.data(), static_cast<std::int32_t>(payload.size())),
              static_cast<std::int32_t>(payload.size()));
    EXPECT_EQ(dataSent, 0);
    EXPECT_FALSE(link.server->AllSent());

    std::string received;
    std::thread reader([&] { received = link.peer->Read(payload.size()); });
    const bool drained = RunUntil([&] { return dataSent > 0; }, 20000);
    reader.join();
    test::Settle();
    ASSERT_TRUE(drained);
    EXPECT_EQ(dataSent, 1);
    EXPECT_EQ(received, payload);
    EXPECT_GT(sends.size(), 10U);
    std::int64_t total = 0;
    for (std::int32_t n : sends) {
        EXPECT_GT(n, 0);
        EXPECT_LE(n, TCustomAsyncSocket::kDefaultSendBlockSize);
        total += n;
    }
    EXPECT_EQ(total, static_cast<std::int64_t>(payload.size()));
}

TEST(AsyncSocket, SendThatDrainsAtOnceReportsDataSentLaterOnce) {
    AcceptedConnection link;
    ASSERT_TRUE(link.Open());
    int dataSent = 0;
    link.server->OnDataSent = [&](TCustomAsyncSocket&, std::uint16_t) { ++dataSent; };
    EXPECT_EQ(link.server->SendText("220 ready\r\n"), 11);
    EXPECT_EQ(dataSent, 0);
    test::Settle();
    EXPECT_EQ(dataSent, 1);
    EXPECT_EQ(link.peer->Read(11), "220 ready\r\n");
}

TEST(AsyncSocket, SendWithoutConnectionFails) {
    TAsyncSocket socket;
    EXPECT_EQ(FailureText([&] { socket.SendText("x"); }),
              "Error 10057 in function Send\r\nSocket is not connected");
    int errors = 0;
    socket.OnError = [&](TCustomAsyncSocket&) { ++errors; };
    EXPECT_EQ(socket.SendText("x"), -1);
    EXPECT_EQ(socket.LastError(), 10057);
    EXPECT_EQ(errors, 1);
}

TEST(AsyncSocket, ListenFailuresAndRefusedSetters) {
    TAsyncSocket socket;
    socket.SetAddr("127.0.0.1");
    EXPECT_EQ(FailureText([&] { socket.Listen(); }),
              "Error 10022 in function listen: port not assigned\r\nInvalid argument");

    test::ListenOnLoopback(socket);
    ASSERT_EQ(socket.State(), TSocketState::wsListening);
    const std::string port = std::to_string(test::BoundPort(socket));
    EXPECT_EQ(FailureText([&] { socket.SetPort("25"); }), "Cannot change Port if not closed");
    EXPECT_EQ(FailureText([&] { socket.SetAddr("1.2.3.4"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(FailureText([&] { socket.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(socket.Port(), "0");

    TAsyncSocket second;
    second.SetAddr("127.0.0.1");
    second.SetPort(port);
    EXPECT_EQ(FailureText([&] { second.Listen(); }),
              "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(second.State(), TSocketState::wsClosed);
    EXPECT_EQ(second.Handle(), kInvalidSocket);

    socket.Disconnect();
    EXPECT_EQ(socket.State(), TSocketState::wsClosed);
    EXPECT_EQ(FailureText([&] { socket.Listen(); }),
              "Error 10022 in function listen: port not assigned\r\nInvalid argument");
}

TEST(AsyncSocket, ListenResolutionFailuresCarryTheirPrefix) {
    TAsyncSocket socket;
    socket.SetAddr("127.0.0.1");
    socket.SetPort("nosuchservice");
    EXPECT_EQ(FailureText([&] { socket.Listen(); }),
              "listen: SocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");
    socket.SetSocksServer("127.0.0.1");
    EXPECT_EQ(FailureText([&] { socket.Listen(); }),
              "Listening is not supported thru socks server");
}

TEST(AsyncSocket, LocalCloseSetsStateBeforeTheOneClosedEvent) {
    AcceptedConnection link;
    ASSERT_TRUE(link.Open());
    int closed = 0;
    link.server->OnSessionClosed = [&](TCustomAsyncSocket& sender, std::uint16_t) {
        EXPECT_EQ(sender.State(), TSocketState::wsClosed);
        ++closed;
        sender.Disconnect();
    };
    link.server->Disconnect();
    link.server->Disconnect();
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(link.peer->ReadToClose(), "");
    EXPECT_EQ(link.server->PeerAddr(), "error");
}

TEST(AsyncSocket, DisconnectLaterClosesFromTheEventLoop) {
    AcceptedConnection link;
    ASSERT_TRUE(link.Open());
    int closed = 0;
    link.server->OnSessionClosed = [&](TCustomAsyncSocket&, std::uint16_t) { ++closed; };
    EXPECT_EQ(link.server->PeerAddr(), "127.0.0.1");
    link.server->SendText("bye\r\n");
    link.server->DisconnectLater();
    EXPECT_EQ(link.server->State(), TSocketState::wsConnected);
    ASSERT_TRUE(RunUntil([&] { return closed == 1; }));
    EXPECT_EQ(link.peer->ReadToClose(), "bye\r\n");
}

TEST(AsyncSocket, ConnectReportsSuccessAndRefusal) {
    TAsyncSocket listener;
    test::ListenOnLoopback(listener);
    TAsyncSocket accepted;
    listener.OnSessionAvailable = [&](TCustomAsyncSocket& s, std::uint16_t) {
        accepted.Dup(s.Accept());
    };
    TAsyncSocket client;
    std::vector<int> results;
    client.OnSessionConnected = [&](TCustomAsyncSocket&, std::uint16_t error) {
        results.push_back(error);
    };
    client.SetAddr("127.0.0.1");
    client.SetPort(std::to_string(test::BoundPort(listener)));
    client.Connect();
    ASSERT_TRUE(RunUntil([&] { return !results.empty(); }));
    EXPECT_EQ(results.front(), 0);
    EXPECT_EQ(client.State(), TSocketState::wsConnected);
    ASSERT_TRUE(RunUntil([&] { return accepted.State() == TSocketState::wsConnected; }));
    std::string echoed;
    accepted.OnDataAvailable = [&](TCustomAsyncSocket& s, std::uint16_t) {
        echoed += s.ReceiveText();
    };
    client.SendText("ping");
    ASSERT_TRUE(RunUntil([&] { return echoed == "ping"; }));

    EXPECT_EQ(client.PeerPort(), std::to_string(test::BoundPort(listener)));

    // Once nobody listens on the port any more, connecting is refused.
    const std::string port = std::to_string(test::BoundPort(listener));
    listener.Disconnect();
    client.Disconnect();
    accepted.Disconnect();
    results.clear();
    client.SetAddr("127.0.0.1");
    client.SetPort(port);
    client.Connect();
    ASSERT_TRUE(RunUntil([&] { return !results.empty(); }));
    EXPECT_EQ(results.front(), 10061);
    EXPECT_EQ(client.State(), TSocketState::wsClosed);
}

TEST(AsyncSocket, HandlerFailuresGoToBackgroundHandlerAndCloseUnlessKept) {
    for (const bool keep : {false, true}) {
        AcceptedConnection link;
        ASSERT_TRUE(link.Open());
        std::string message;
        link.server->OnDataSent = [](TCustomAsyncSocket&, std::uint16_t) {
            throw ESocketException("handler broke");
        };
        link.server->OnBgException = [&](TCustomAsyncSocket&, const std::exception& e,
                                         bool& canClose) {
            message = e.what();
            canClose = !keep;
        };
        link.server->SendText("x");
        ASSERT_TRUE(RunUntil([&] { return !message.empty(); }));
        EXPECT_EQ(message, "handler broke");
        EXPECT_EQ(link.server->State(), keep ? TSocketState::wsConnected : TSocketState::wsClosed);
    }
}

TEST(AsyncSocket, DataHandlerFailureIsDiscarded) {
    AcceptedConnection link;
    int calls = 0;
    bool background = false;
    ASSERT_TRUE(link.Open([&](TAsyncSocket& s) {
        s.OnDataAvailable = [&](TCustomAsyncSocket& sender, std::uint16_t) {
            ++calls;
            sender.ReceiveText();
            throw ESocketException("bad data");
        };
        s.OnBgException = [&](TCustomAsyncSocket&, const std::exception&, bool&) {
            background = true;
        };
    }));
    link.peer->Write("abc");
    ASSERT_TRUE(RunUntil([&] { return calls > 0; }));
    test::Settle();
    EXPECT_FALSE(background);
    EXPECT_EQ(link.server->State(), TSocketState::wsConnected);
}

TEST(AsyncSocket, NoReceiveLoopOffersOneReadPerReadiness) {
    for (const bool oneRead : {true, false}) {
        AcceptedConnection link;
        int calls = 0;
        std::string received;
        ASSERT_TRUE(link.Open([&](TAsyncSocket& s) {
            if (oneRead) {
                s.SetComponentOptions({TSocketOption::wsoNoReceiveLoop});
            }
            s.OnDataAvailable = [&](TCustomAsyncSocket& sender, std::uint16_t) {
                ++calls;
                char byte = 0;
                if (sender.ReceiveBytes(&byte, 1) == 1) {
                    received += byte;
                }
            };
        }));
        link.peer->Write("0123456789");
        // A single pass through the event loop handles one read readiness.
        ASSERT_TRUE(RunUntil([&] { return calls > 0; }));
        EXPECT_EQ(calls, oneRead ? 1 : 10);
        ASSERT_TRUE(RunUntil([&] { return received.size() == 10; }));
        EXPECT_EQ(received, "0123456789");
    }
}

TEST(AsyncSocket, SocketObjectsAreCounted) {
    const int before = LiveSocketCount();
    {
        TAsyncSocket a;
        TAsyncSocket b;
        EXPECT_EQ(LiveSocketCount(), before + 2);
    }
    EXPECT_EQ(LiveSocketCount(), before);
}

} // namespace
} // namespace lumenpost

namespace lumenpost {
namespace {

TEST(AsyncSocket, LookupsFinishFromTheEventLoop) {
    TAsyncSocket socket;
    std::vector<int> done;
    socket.OnDnsLookupDone = [&](TCustomAsyncSocket&, std::uint16_t error) {
        done.push_back(error);
    };
    socket.DnsLookup("localhost");
    EXPECT_TRUE(done.empty());
    ASSERT_TRUE(RunUntil([&] { return done.size() == 1; }));
    EXPECT_EQ(done.front(), 0);
    EXPECT_EQ(socket.DnsResult(), "127.0.0.1");

    socket.ReverseDnsLookup("127.0.0.1");
    socket.CancelDnsLookup();
    test::Settle();
    EXPECT_EQ(done.size(), 1U);
}

TEST(AsyncSocket, SynchronizeWaitsForItsFlagOrTimesOut) {
    TAsyncSocket socket;
    bool done = false;
    EXPECT_EQ(socket.Synchronize({}, done, 30), TCustomSyncSocket::kWaitTimedOut);
    socket.OnDnsLookupDone = [&](TCustomAsyncSocket&, std::uint16_t) { done = true; };
    EXPECT_EQ(socket.Synchronize([&] { socket.DnsLookup("localhost"); }, done, 5000), 0);
    EXPECT_TRUE(done);
}

} // namespace
} // namespace lumenpost
