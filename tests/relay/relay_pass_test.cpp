#include "relay/relay_pass.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <stdexcept>

namespace lumenpost {
namespace {

// Fake peers that record every call in order.
struct FakePeers {
    std::map<std::string, std::vector<std::string>> mx; // domain -> exchangers
    bool lookupAnswers = true;
    bool lookupRaises = false;
    bool delivers = true;
    std::vector<std::string> calls;
    std::vector<std::string> noticeLines;

    RelayServices Services() {
        RelayServices services;
        services.LookupMailServers = [this](const std::string& dns, const std::string& domain,
                                            std::vector<std::string>& hosts) {
            calls.push_back("lookup " + dns + " " + domain);
            if (lookupRaises) {
                throw std::runtime_error("lookup failed");
            }
            hosts = mx[domain];
            return lookupAnswers;
        };
        services.SendMailLines = [this](const std::string& sender, const std::string& recipient,
                                        const std::string& server,
                                        const std::vector<std::string>&) {
            calls.push_back("send " + sender + " " + recipient + " " + server);
            return delivers;
        };
        services.SendMailWithHeaders = [this](const std::string& sender,
                                              const std::string& recipient,
                                              const std::string& subject, const std::string& server,
                                              const std::vector<std::string>& lines) {
            calls.push_back("notice " + sender + " " + recipient + " " + subject + " " + server);
            noticeLines = lines;
            return true;
        };
        services.PlayAlert = [this](int pattern) {
            calls.push_back("alert " + std::to_string(pattern));
        };
        services.TimeOfDay = [this] {
            calls.push_back("time");
            return std::string("12:34:56");
        };
        return services;
    }
};

const RelayPassSettings kSettings{"127.0.0.2", "admin@relay.test", true, true};

std::optional<RelayOutcome> Pass(FakePeers& peers, const std::string& sender,
                                 const std::string& recipient,
                                 const RelayPassSettings& settings = kSettings) {
    return Button1Click(RelayJob{sender, recipient, {"line"}}, settings, peers.Services());
}

using Calls = std::vector<std::string>;

TEST(RelayPassTest, DeliversToThePreferredExchangerWithTheAddressesAsStored) {
    FakePeers peers;
    peers.mx["example.test"] = {"mx1.example.test", "mx2.example.test"};
    const auto outcome = Pass(peers, "Al@Sender.test", " Bob@EXAMPLE.Test");
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->relayed);
    EXPECT_EQ(outcome->status, "电子邮件转发成功！");
    EXPECT_EQ(outcome->logText,
              "邮件转发成功！From:Al@Sender.test/To: Bob@EXAMPLE.Test/Time:12:34:56");
    EXPECT_EQ(peers.calls,
              (Calls{"lookup 127.0.0.2 example.test",
                     "send Al@Sender.test  Bob@EXAMPLE.Test mx1.example.test", "time"}));
}

TEST(RelayPassTest, WithoutExchangersTheDomainItselfIsTheHost) {
    FakePeers peers;
    Pass(peers, "a@b.test", "r@127.0.0.3"); // answered, but no MX
    peers.lookupAnswers = false;
    peers.mx["x.test"] = {"ignored.x.test"};
    Pass(peers, "a@b.test", "r@x.test");    // not answered
    Pass(peers, "a@b.test", " NoAt.Test "); // no "@": the whole address is the domain
    EXPECT_EQ(peers.calls[1], "send a@b.test r@127.0.0.3 127.0.0.3");
    EXPECT_EQ(peers.calls[4], "send a@b.test r@x.test x.test");
    EXPECT_EQ(peers.calls[6], "lookup 127.0.0.2 noat.test");
    EXPECT_EQ(peers.calls[7], "send a@b.test  NoAt.Test  noat.test");
}

TEST(RelayPassTest, FailureSendsTheNoticeThenNineTonesThenLogs) {
    FakePeers peers;
    peers.delivers = false;
    peers.mx["sender.test"] = {"mx.sender.test"};
    const auto outcome = Pass(peers, " Alice@Sender.Test", "bob@example.test");
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->relayed);
    EXPECT_EQ(outcome->status, "电子邮件转发失败！");
    EXPECT_EQ(outcome->logText,
              "邮件转发失败！From: Alice@Sender.Test/To:bob@example.test/Time:12:34:56");
    EXPECT_EQ(peers.calls,
              (Calls{"lookup 127.0.0.2 example.test",
                     "send  Alice@Sender.Test bob@example.test example.test",
                     "lookup 127.0.0.2 sender.test",
                     "notice admin@relay.test  Alice@Sender.Test Email Relay Fail Notice "
                     "mx.sender.test",
                     "alert 0", "alert 1", "alert 0", "time"}));
    EXPECT_EQ(
        peers.noticeLines,
        (Calls{"", "Your Email From:  Alice@Sender.Test /To: bob@example.test Relay Fail..."}));
}

TEST(RelayPassTest, SettingsDecideNoticeAndAlert) {
    FakePeers peers;
    peers.delivers = false;
    Pass(peers, "abcd@x.test", "r@y.test", {"dns", "pm@z.test", false, false});
    EXPECT_EQ(peers.calls.size(), 3u); // lookup, send, time
    EXPECT_TRUE(
        Pass(peers, "abcd@x.test", "r@y.test", {"dns", "pm@z.test", true, false}).has_value());
    EXPECT_EQ(peers.calls.back(), "time");
    EXPECT_EQ(peers.calls[peers.calls.size() - 2], "alert 0");
    EXPECT_EQ(std::count_if(peers.calls.begin(), peers.calls.end(),
                            [](const std::string& call) { return call.starts_with("notice"); }),
              0);
}

TEST(RelayPassTest, NoticeOnlyForSendersOfAPlausibleShape) {
    EXPECT_FALSE(SenderTakesNotice("@abcd.test"));     // "@" first
    EXPECT_FALSE(SenderTakesNotice("abcd@localhost")); // no "."
    EXPECT_FALSE(SenderTakesNotice("a.b@x.test"));     // "." among the first three
    EXPECT_FALSE(SenderTakesNotice("abcd.test"));      // no "@"
    EXPECT_TRUE(SenderTakesNotice("abcd@x.test"));
    EXPECT_TRUE(SenderTakesNotice("ab@c.d"));      // first "." at position 5
    EXPECT_TRUE(SenderTakesNotice("abc.d@x"));     // first "." at position 4
    EXPECT_TRUE(SenderTakesNotice("  A@BC.TEST")); // trimmed first
}

TEST(RelayPassTest, ALookupThatRaisesEndsThePassWithoutAReport) {
    FakePeers peers;
    peers.lookupRaises = true;
    EXPECT_FALSE(Pass(peers, "abcd@x.test", "r@y.test").has_value());
    EXPECT_EQ(peers.calls, Calls{"lookup 127.0.0.2 y.test"});
    // In the failure branch too: no alert, no log line.
    FakePeers second;
    second.delivers = false;
    auto services = second.Services();
    int lookups = 0;
    const auto lookup = services.LookupMailServers;
    services.LookupMailServers = [&](const std::string& dns, const std::string& domain,
                                     std::vector<std::string>& hosts) {
        if (++lookups == 2) {
            throw std::runtime_error("lookup failed");
        }
        return lookup(dns, domain, hosts);
    };
    EXPECT_FALSE(
        Button1Click(RelayJob{"abcd@x.test", "r@y.test", {}}, kSettings, services).has_value());
    EXPECT_EQ(second.calls.back(), "send abcd@x.test r@y.test y.test");
}

} // namespace
} // namespace lumenpost
