#include "dialogue_script.h"
#include "loopback_client.h"
#include "platform/tick.h"
#include "smtp_server/smtp_client.h"
#include "smtp_server/smtp_limits.h"
#include "smtp_server/smtp_server.h"

#include <QCoreApplication>
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace lumenpost {
namespace {

using testing_support::LoopbackClient;
using testing_support::PumpUntil;

const std::string kGreeting = "220 ESMTP Server Ready.\r\n";
const std::string kEhloReply = "250-ESMTP peer.example (127.0.0.1), pleased to meet you\r\n" +
                               testing_support::kExtensionLines + "250 AUTH LOGIN PLAIN\r\n";
const std::string kHeloReply = "250 SMTP peer.example (127.0.0.1), pleased to meet you\r\n";
const std::string kStartData = "354 Start mail input; end with <CRLF>.<CRLF>\r\n";
const std::string kAuthOk = "235 OK, go ahead\r\n";
const std::string kNotLoggedIn = "550 mailbox unavailable or not logged in\r\n";
const std::string kTimeoutReplies = "550 SMTP timeout\r\n250 OK SMTP Server signing off.\r\n";
const std::string kTooBig = "552 Message size exceeds fixed maximum message size\r\n";
const std::string kLocalError = "451 Requested action aborted: local error in processing\r\n";

class SmtpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.SetSrvAddr("127.0.0.1");
        server.SetSrvPort("0");
        server.SetDelayAfterCmd(0);
        server.SetPeerNameResolver([this](const std::string&) {
            ++lookups;
            return std::string("peer.example");
        });
        server.OnSendData = [this](TSmtpServer&, TAsyncSocket&, bool last, const std::string& m) {
            blocks.emplace_back(last, m);
        };
    }

    void Start() {
        server.SetActive(true);
        port = testing_support::BoundPort(server.ListenSocket().Handle());
    }

    std::unique_ptr<LoopbackClient> Connect(const std::string& greeting = kGreeting) {
        auto client = std::make_unique<LoopbackClient>(port);
        EXPECT_EQ(client->Read(greeting.size()), greeting);
        return client;
    }

    std::unique_ptr<LoopbackClient> LoggedIn() {
        auto client = Connect();
        Expect(*client, "EHLO c.example\r\n", kEhloReply);
        return client;
    }

    static void Expect(LoopbackClient& client, const std::string& line, const std::string& reply) {
        EXPECT_EQ(client.Ask(line, reply.size()), reply) << "after " << line;
    }

    void StartMessage(LoopbackClient& client) {
        Expect(client, "RCPT TO:<a@b.c>\r\n", "250 OK Send to <a@b.c> is allowed\r\n");
        Expect(client, "DATA\r\n", kStartData);
    }

    // Records every OnDataEnd with the session's DataBuffer and answers `answers` in turn
    // (an empty one keeps the preset answer).
    void RecordDataEnds(std::vector<std::string> answers = {}) {
        server.OnDataEnd = [this, answers](TSmtpServer&, TAsyncSocket& client, bool oversized,
                                           std::string& answer, const TSmtpLateAnswer&, bool&) {
            dataEnds.push_back({oversized, answer, dynamic_cast<TSmtpClient&>(client).DataBuffer});
            if (dataEnds.size() <= answers.size() && !answers[dataEnds.size() - 1].empty()) {
                answer = answers[dataEnds.size() - 1];
            }
        };
    }

    // Sends one piece of message data and waits until the server has handed it on.
    void SendBlock(LoopbackClient& client, const std::string& piece) {
        const std::size_t before = blocks.size();
        client.Send(piece);
        EXPECT_TRUE(PumpUntil([&] { return blocks.size() > before; }));
    }

    bool WaitForSessions(int count) {
        return PumpUntil([&] { return server.ListenSocket().CountClients() == count; });
    }

    TSmtpServer server;
    std::uint16_t port = 0;
    int lookups = 0;
    std::vector<std::pair<bool, std::string>> blocks;
    struct DataEnd {
        bool oversized;
        std::string answer;
        std::string dataBuffer;
        bool operator==(const DataEnd&) const = default;
    };
    std::vector<DataEnd> dataEnds;
};

TEST(SmtpServerDefaultsTest, PublishedDefaultsAndListenerSetup) {
    TSmtpServer server;
    EXPECT_FALSE(server.Active());
    EXPECT_FALSE(server.DebugMode());
    EXPECT_EQ(server.CommandTimeout(), 10);
    EXPECT_EQ(server.SrvAddr(), "0.0.0.0");
    EXPECT_EQ(server.SrvPort(), "Smtp");
    EXPECT_EQ(server.HelloMessage(), "220 ESMTP Server Ready.");
    EXPECT_EQ(server.MaxUser(), 0);
    EXPECT_FALSE(server.LocalPCName().empty());
    EXPECT_EQ(server.DelayAfterCmd(), 3);
    EXPECT_TRUE(server.KeepDataBuffer());
    EXPECT_EQ(server.MaxMessageSize(), 0);
    EXPECT_EQ(server.IdleTimer().interval(), 120000);
    EXPECT_TRUE(server.IdleTimer().isActive());
    EXPECT_EQ(server.ListenSocket().Banner(), "");
    EXPECT_EQ(server.ListenSocket().BannerToBusy(), "502 Server overload, too many users.");
    EXPECT_TRUE(server.HostNameCache().Entries().empty());
}

TEST_F(SmtpServerTest, DialogueOverTcpEndsInSilenceAfterQuit) {
    Start();
    auto client = Connect();
    for (const auto& step : testing_support::WholeDialogue("peer.example", "127.0.0.1")) {
        if (step.expect.empty()) {
            break; // after QUIT the server sends nothing more
        }
        Expect(*client, step.send, step.expect);
    }
    EXPECT_EQ(client->ReadToClose(), "");
    EXPECT_EQ(blocks.back(), std::make_pair(true, std::string("Subject: t\r\n\r\nQUIT\r\n.\r\n")));
}

TEST_F(SmtpServerTest, RefusalAndRecipientLimitOverTcp) {
    server.OnUsername = [](TSmtpServer&, TAsyncSocket&, const std::string& name, std::string&,
                           bool& shouldClose) { shouldClose = name == "bad.example"; };
    Start();
    auto good = Connect();
    Expect(*good, "HELO good.example\r\n", kHeloReply);
    std::string accepted;
    for (int i = 0; i < 100; ++i) {
        const std::string address = "r" + std::to_string(i) + "@d.e";
        good->Send("RCPT TO:<" + address + ">\r\n");
        accepted += "250 OK Send to <" + address + "> is allowed\r\n";
    }
    EXPECT_EQ(good->Read(accepted.size()), accepted);
    Expect(*good, "RCPT TO:<late@d.e>\r\n", "552 Too many recipients\r\n");

    auto bad = Connect();
    const std::string refusal = "550 User bad.example from IP127.0.0.1 is not allowed\r\n";
    Expect(*bad, "HELO bad.example\r\n", refusal);
    Expect(*bad, "NOOP\r\n", kNotLoggedIn);
    EXPECT_EQ(bad->ReadToClose(), "");
}

TEST_F(SmtpServerTest, ThirdClientIsRefusedWhenMaxUserIsTwo) {
    server.SetMaxUser(2);
    Start();
    auto first = Connect();
    auto second = Connect();
    auto third = std::make_unique<LoopbackClient>(port);
    EXPECT_EQ(third->ReadToClose(), kGreeting + "502 Server overload, too many users.\r\n");
    Expect(*second, "NOOP\r\n", "500 command not recognized\r\n");

    Expect(*first, "QUIT\r\n", "221 Thanks for using, have a nice day\r\n");
    first->Close();
    ASSERT_TRUE(WaitForSessions(1));
    auto fourth = Connect();
    Expect(*fourth, "HELO d.example\r\n", kHeloReply);
}

// The slot of a session is free as soon as its 221 is out, and every close after a reply is
// a normal one: the client reads the reply, then the end, never a reset.
TEST_F(SmtpServerTest, AClientThatReconnectsRightAfterQuitIsServedEveryTime) {
    server.SetMaxUser(1);
    Start();
    for (int round = 0; round < 50; ++round) {
        auto client = Connect();
        Expect(*client, "QUIT\r\n", "221 Thanks for using, have a nice day\r\n");
        ASSERT_EQ(client->ReadToClose(), "") << "round " << round;
    }
    auto holder = LoggedIn();
    // A refused client that talks before it reads still gets both lines before the end.
    auto refused = std::make_unique<LoopbackClient>(port);
    refused->Send("EHLO eager.example\r\n");
    EXPECT_EQ(refused->ReadToClose(), kGreeting + "502 Server overload, too many users.\r\n");
    // Not logged in: the refusal arrives, then the end.
    holder->Close();
    ASSERT_TRUE(WaitForSessions(0));
    server.OnUsername = [](TSmtpServer&, TAsyncSocket&, const std::string&, std::string& answer,
                           bool& shouldClose) {
        answer = "550 not you";
        shouldClose = true;
    };
    auto refusedHelo = Connect();
    Expect(*refusedHelo, "HELO bad.example\r\n", "550 not you\r\n");
    refusedHelo->Send("MAIL FROM:<a@b.test>\r\n");
    EXPECT_EQ(refusedHelo->ReadToClose(), "550 mailbox unavailable or not logged in\r\n");
}

TEST_F(SmtpServerTest, GreetingFollowsHelloMessage) {
    Start();
    const std::pair<std::string, std::string> variants[] = {
        {"220 SMTP Server Ready.", "220 SMTP Server Ready.\r\n"},
        {"  Welcome here  ", "220 Welcome here\r\n"},
        {"220-Ready", "220 220-Ready\r\n"},
        {"220 Padded  ", "220 Padded\r\n"},
        {"", "220 ESMTP Server Ready.\r\n"},
    };
    for (const auto& [hello, greeting] : variants) {
        server.SetHelloMessage(hello);
        Connect(greeting);
    }
    server.OnClientConnect = [](TSmtpServer&, TAsyncSocket&, bool& allowed) { allowed = false; };
    LoopbackClient refused(port);
    EXPECT_EQ(refused.ReadToClose(), "");
}

TEST_F(SmtpServerTest, UnknownServiceNameFailsToListen) {
    server.SetSrvPort("no-such-service");
    EXPECT_THROW(server.SetActive(true), std::exception);
    EXPECT_FALSE(server.Active());
    server.SetSrvPort("0");
    Start();
    EXPECT_TRUE(server.Active());
    Connect();

    TSmtpServer second; // a port in use fails too, and the listener can be tried again
    second.SetSrvAddr("127.0.0.1");
    second.SetSrvPort(std::to_string(port));
    EXPECT_THROW(second.SetActive(true), std::exception);
    EXPECT_FALSE(second.Active());
    server.SetActive(false);
    EXPECT_FALSE(server.Active());
    second.SetActive(true);
    EXPECT_TRUE(second.Active());
}

TEST_F(SmtpServerTest, ServiceNameAndNumberListenOnTheSmtpPort) {
    server.SetSrvAddr("127.0.25.1"); // an address of its own: port 25 may be busy elsewhere
    for (const std::string name : {"Smtp", " 25 "}) {
        server.SetSrvPort(name);
        try {
            server.SetActive(true);
        } catch (const std::exception& e) {
            GTEST_SKIP() << "port 25 is not available here: " << e.what();
        }
        EXPECT_EQ(testing_support::BoundPort(server.ListenSocket().Handle()), 25);
        server.SetActive(false);
    }
}

TEST_F(SmtpServerTest, IdleSweepSignsOffLoggedInSessionsAndDropsOthers) {
    int resets = 0;
    server.OnReset = [&](TSmtpServer&, TAsyncSocket&, std::string& answer) {
        EXPECT_EQ(answer, "");
        ++resets;
    };
    server.SetCommandTimeout(0);
    Start();
    auto loggedIn = LoggedIn();
    auto inData = LoggedIn();
    StartMessage(*inData);
    auto beforeHelo = Connect();
    server.SetIdleSweepIntervalForTesting(10);
    EXPECT_EQ(loggedIn->ReadToClose(), kTimeoutReplies);
    EXPECT_EQ(inData->ReadToClose(), "");
    EXPECT_EQ(beforeHelo->ReadToClose(), "");
    EXPECT_EQ(resets, 1);
}

// A client that keeps busy still cannot hold a slot past the data-phase or session limit.
TEST_F(SmtpServerTest, BusySessionsEndAtTheirTimeLimits) {
    Start();
    auto trickling = LoggedIn();
    StartMessage(*trickling);
    auto longLived = LoggedIn();
    auto fresh = LoggedIn();
    ASSERT_TRUE(WaitForSessions(3));
    const std::uint32_t now = TickCount();
    for (int i = 0; i < 3; ++i) {
        auto& session = dynamic_cast<TSmtpClient&>(*server.ListenSocket().ClientAt(i));
        session.LastActivity = now; // none of them idle
        if (i == 0) {
            session.DataStartedAt = now - smtp_limits::kDataPhaseLimitMs - 1;
        } else if (i == 1) {
            session.StartedAt = now - smtp_limits::kSessionLifeLimitMs - 1;
        }
    }
    server.IdleSweep();
    EXPECT_EQ(trickling->ReadToClose(), "");
    EXPECT_EQ(longLived->ReadToClose(), kTimeoutReplies);
    ASSERT_TRUE(WaitForSessions(1));
    Expect(*fresh, "NOOP\r\n", "250 OK\r\n");
}

TEST_F(SmtpServerTest, MessageSplitAnywhereArrivesOnceWithOneLastPart) {
    Start();
    auto client = LoggedIn();
    StartMessage(*client);
    const std::string wire = "..a\r\n..\r\nb\r\n.\r\n";
    for (std::size_t cut = 1; cut < wire.size(); ++cut) {
        blocks.clear();
        SendBlock(*client, wire.substr(0, cut));
        SendBlock(*client, wire.substr(cut));
        EXPECT_EQ(client->Read(9), "250 OK \r\n") << "cut at " << cut;
        ASSERT_EQ(blocks.size(), 2u) << "cut at " << cut;
        EXPECT_FALSE(blocks[0].first);
        EXPECT_TRUE(blocks[1].first);
        EXPECT_EQ(blocks[0].second + blocks[1].second, ".a\r\n.\r\nb\r\n.\r\n");
        StartMessage(*client);
    }
    SendBlock(*client, ".\r\n"); // the end line alone ends an empty message
    EXPECT_EQ(client->Read(9), "250 OK \r\n");
}

TEST_F(SmtpServerTest, SizeLimitOverTcp) {
    server.SetMaxMessageSize(20);
    RecordDataEnds();
    Start();
    auto client = Connect();
    Expect(*client, "EHLO c.example\r\n",
           "250-ESMTP peer.example (127.0.0.1), pleased to meet you\r\n250-8BITMIME\r\n"
           "250-PIPELINING\r\n250-SIZE 20\r\n250-SMTPUTF8\r\n250 AUTH LOGIN PLAIN\r\n");
    Expect(*client, "MAIL FROM:<a@b.c> SIZE=21\r\n", kTooBig);
    Expect(*client, "MAIL FROM:<a@b.c> SIZE=20\r\n", "250 OK Sender \"a@b.c\" is allowed\r\n");
    StartMessage(*client);
    SendBlock(*client, "abcdefghijklmnopqr\r\n"); // 20 octets: still within the limit
    Expect(*client, "more\r\n.\r\n", kTooBig);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_FALSE(blocks[0].first);

    StartMessage(*client);
    Expect(*client, "ok\r\n.\r\n", "250 OK \r\n");
    EXPECT_EQ(blocks.back(), std::make_pair(true, std::string("ok\r\n.\r\n")));
    const std::string tooBig = kTooBig.substr(0, kTooBig.size() - 2);
    const std::vector<DataEnd> expected = {{true, tooBig, "abcdefghijklmnopqr\r\n"},
                                           {false, "250 OK ", "ok\r\n"}};
    EXPECT_EQ(dataEnds, expected);
}

TEST_F(SmtpServerTest, DataEndAnswerReachesTheClientAndNoDataBufferIsKept) {
    server.SetKeepDataBuffer(false);
    RecordDataEnds({"", kLocalError});
    Start();
    auto client = LoggedIn();
    StartMessage(*client);
    Expect(*client, "first\r\n.\r\n", "250 OK \r\n");
    StartMessage(*client);
    Expect(*client, "second\r\n.\r\n", kLocalError);
    Expect(*client, "NOOP\r\n", "250 OK\r\n");
    const std::vector<DataEnd> expected = {{false, "250 OK ", ""}, {false, "250 OK ", ""}};
    EXPECT_EQ(dataEnds, expected);
    std::string handedOn;
    for (const auto& block : blocks) {
        handedOn += block.second;
    }
    EXPECT_EQ(handedOn, "first\r\n.\r\nsecond\r\n.\r\n");
}

TEST_F(SmtpServerTest, ALateAnswerReachesItsSessionOnlyWhileItLasts) {
    std::vector<TSmtpLateAnswer> owed;
    server.OnDataEnd = [&owed](TSmtpServer&, TAsyncSocket&, bool, std::string&,
                               const TSmtpLateAnswer& answerLater, bool& deferred) {
        deferred = true;
        owed.push_back(answerLater);
    };
    Start();
    auto client = LoggedIn();
    StartMessage(*client);
    client->Send("first\r\n.\r\n");
    ASSERT_TRUE(PumpUntil([&] { return owed.size() == 1; }));
    // A command sent while the message is being stored waits for the answer.
    client->Send("NOOP\r\n");
    for (int round = 0; round < 20; ++round) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    owed[0]("250 OK ");
    const std::string inOrder = "250 OK \r\n250 OK\r\n";
    EXPECT_EQ(client->Read(inOrder.size()), inOrder);

    // The client leaves before its answer: the session ends once it is answered, and an
    // answer repeated after that never reaches the next session.
    StartMessage(*client);
    client->Send("second\r\n.\r\n");
    ASSERT_TRUE(PumpUntil([&] { return owed.size() == 2; }));
    client->Close();
    owed[1]("250 OK ");
    ASSERT_TRUE(WaitForSessions(0));
    auto next = LoggedIn();
    owed[1]("250 OK ");
    Expect(*next, "NOOP\r\n", "250 OK\r\n");
}

TEST_F(SmtpServerTest, PipelinedCommandsAreAnsweredInOrder) {
    RecordDataEnds();
    Start();
    auto client = LoggedIn();
    const std::string started = "250 OK Sender \"s@a.test\" is allowed\r\n"
                                "250 OK Send to <r1@b.test> is allowed\r\n"
                                "250 OK Send to <r2@b.test> is allowed\r\n" +
                                kStartData;
    client->Send("MAIL FROM:<s@a.test>\r\nRCPT TO:<r1@b.test>\r\nRCPT TO:<r2@b.test>\r\nDATA\r\n");
    EXPECT_EQ(client->Read(started.size()), started);
    // The end marker and the next commands in one write.
    client->Send("text\r\n.\r\nNOOP\r\nQUIT\r\n");
    const std::string ended = "250 OK \r\n250 OK\r\n221 Thanks for using, have a nice day\r\n";
    EXPECT_EQ(client->Read(ended.size()), ended);
    EXPECT_EQ(client->ReadToClose(), "");
    ASSERT_EQ(dataEnds.size(), 1u);
    std::string handedOn;
    for (const auto& block : blocks) {
        handedOn += block.second;
    }
    EXPECT_EQ(handedOn, "text\r\n.\r\n");
}

TEST_F(SmtpServerTest, CommandsBehindTheMarkerWaitForALateAnswer) {
    TSmtpLateAnswer owed;
    server.OnDataEnd = [&owed](TSmtpServer&, TAsyncSocket&, bool, std::string&,
                               const TSmtpLateAnswer& answerLater, bool& deferred) {
        deferred = true;
        owed = answerLater;
    };
    Start();
    auto client = LoggedIn();
    StartMessage(*client);
    client->Send("text\r\n.\r\nNOOP\r\n");
    ASSERT_TRUE(PumpUntil([&] { return static_cast<bool>(owed); }));
    owed("451 not now");
    const std::string inOrder = "451 not now\r\n250 OK\r\n";
    EXPECT_EQ(client->Read(inOrder.size()), inOrder);
}

// A client that floods the server with commands waits out its own pauses; the others and
// the event loop go on. The 100 ms bound catches a loop that sleeps, not a slow machine.
TEST_F(SmtpServerTest, ThePauseBeforeACommandHoldsOnlyItsOwnSession) {
    server.SetDelayAfterCmd(3);
    server.SetMaxUser(2);
    Start();
    const int flooder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(flooder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    std::thread flood([flooder] {
        std::string lines = "EHLO flood.example\r\n";
        for (int i = 0; i < 10000; ++i) {
            lines += "RCPT TO:<r" + std::to_string(i) + "@b.test>\r\n";
        }
        // Blocks once the server stops reading; ends when the test shuts the socket.
        for (std::size_t sent = 0; sent < lines.size();) {
            const ssize_t n = send(flooder, lines.data() + sent, lines.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    });
    ASSERT_TRUE(WaitForSessions(1));
    for (int round = 0; round < 50; ++round) { // let the flood pile up in the session
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    }
    const auto connected = std::chrono::steady_clock::now();
    auto client = Connect();
    EXPECT_LT(std::chrono::steady_clock::now() - connected, std::chrono::milliseconds(100));
    Expect(*client, "EHLO c.example\r\n", kEhloReply);
    Expect(*client, "MAIL FROM:<s@a.test>\r\n", "250 OK Sender \"s@a.test\" is allowed\r\n");
    StartMessage(*client);
    Expect(*client, "x\r\n.\r\n", "250 OK \r\n");
    shutdown(flooder, SHUT_RDWR);
    flood.join();
    close(flooder);
}

TEST(SmtpServerLateAnswerTest, AnAnswerThatOutlivesItsServerDoesNothing) {
    TSmtpLateAnswer owed;
    {
        TSmtpServer server;
        server.SetSrvAddr("127.0.0.1");
        server.SetSrvPort("0");
        server.SetDelayAfterCmd(0);
        server.SetPeerNameResolver([](const std::string&) { return std::string("p.example"); });
        server.OnDataEnd = [&owed](TSmtpServer&, TAsyncSocket&, bool, std::string&,
                                   const TSmtpLateAnswer& answerLater, bool& deferred) {
            deferred = true;
            owed = answerLater;
        };
        server.SetActive(true);
        LoopbackClient client(testing_support::BoundPort(server.ListenSocket().Handle()));
        client.Read(kGreeting.size());
        for (const std::string line :
             {"HELO c\r\n", "MAIL FROM:<s@a.b>\r\n", "RCPT TO:<r@a.b>\r\n", "DATA\r\n"}) {
            client.Send(line);
        }
        client.Send("x\r\n.\r\n");
        ASSERT_TRUE(PumpUntil([&] { return static_cast<bool>(owed); }));
    }
    owed("250 OK ");
}

TEST_F(SmtpServerTest, AuthOverTcp) {
    server.OnAuthLogin = [](TSmtpServer&, TAsyncSocket&, const std::string& user,
                            const std::string& password, std::string&, bool& shouldClose) {
        shouldClose = user != "user" || password != "secret";
    };
    Start();
    auto client = LoggedIn();
    const std::string unknownType = "504 AUTH type not implemented\r\n";
    Expect(*client, "AUTH LOGIN\r\n", "334 VXNlcm5hbWU6\r\n");
    Expect(*client, "dXNlcg==\r\n", "334 UGFzc3dvcmQ6\r\n");
    Expect(*client, "c2VjcmV0\r\n", kAuthOk);
    Expect(*client, "AUTH PLAIN AHVzZXIAc2VjcmV0\r\n", kAuthOk);
    Expect(*client, "AUTH PLAIN\r\n", "334 OK, Go on\r\n");
    Expect(*client, "AHVzZXIAc2VjcmV0\r\n", kAuthOk);
    Expect(*client, "AUTH CRAM-MD5\r\n", unknownType);
    Expect(*client, "AUTH PLAIN AHVzZXIAc2VjcmV0\r\n", kAuthOk);
    Expect(*client, "NOOP\r\n", "250 OK\r\n");

    auto shutOut = LoggedIn();
    Expect(*shutOut, "AUTH XOAUTH\r\n", unknownType);
    Expect(*shutOut, "MAIL FROM:<a@b.c>\r\n", kNotLoggedIn);
    EXPECT_EQ(shutOut->ReadToClose(), "");

    auto wrong = LoggedIn();
    Expect(*wrong, "AUTH PLAIN AHVzZXIAd3Jvbmc=\r\n", "535 Authorization failed\r\n");
    EXPECT_EQ(wrong->ReadToClose(), "");
}

TEST_F(SmtpServerTest, PeerNameIsLookedUpOnceAnHourAndRepliesAreReported) {
    std::vector<std::pair<TDebugType, std::string>> reports;
    server.SetDebugMode(true);
    server.OnServerDebug = [&](TSmtpServer&, TAsyncSocket&, TDebugType kind,
                               const std::string& text) { reports.emplace_back(kind, text); };
    Start();
    LoggedIn();
    LoggedIn();
    EXPECT_EQ(lookups, 1);
    EXPECT_EQ(server.HostNameCache().Entries().size(), 1u);
    const std::pair<TDebugType, std::string> ehlo{TDebugType::dtReceived, "EHLO c.example"};
    const std::pair<TDebugType, std::string> auth{TDebugType::dtSent, "250 AUTH LOGIN PLAIN"};
    EXPECT_NE(std::find(reports.begin(), reports.end(), ehlo), reports.end());
    EXPECT_NE(std::find(reports.begin(), reports.end(), auth), reports.end());
}

} // namespace
} // namespace lumenpost
