#include "relay/relay_pass.h"

#include <algorithm>
#include <ctime>
#include <gtest/gtest.h>
#include <map>
#include <stdexcept>

namespace lumenpost {
namespace {

// Arrival of the queued message in the tests: 12:34:56 local time on some day.
const std::int64_t kArrival = [] {
    std::tm local{};
    local.tm_year = 126;
    local.tm_mon = 11;
    local.tm_mday = 8;
    local.tm_hour = 12;
    local.tm_min = 34;
    local.tm_sec = 56;
    local.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&local));
}();

const DeliveryResult kRefused{DeliveryStatus::permanent, "550 5.1.1 no such user"};
const DeliveryResult kGreylisted{DeliveryStatus::temporary, "450 4.2.0 try again later"};

// Fake peers that record every call in order.
struct FakePeers {
    std::map<std::string, std::vector<std::string>> mx; // domain -> exchangers
    bool lookupAnswers = true;
    bool lookupRaises = false;
    DeliveryResult delivery{DeliveryStatus::delivered, ""};
    std::vector<std::string> calls;
    std::vector<std::string> noticeLines;
    std::int64_t now = kArrival;

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
        services.DeliverMessage = [this](const std::string& sender, const std::string& recipient,
                                         const std::string& server, const std::string& dataPath) {
            calls.push_back("send " + sender + " " + recipient + " " + server + " " + dataPath);
            return delivery;
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
        services.Now = [this] { return now; };
        return services;
    }
};

const RelayPassSettings kSettings{"127.0.0.2", "admin@relay.test", true, true, 3600, {}};

RelayJob Job(const std::string& sender, const std::string& recipient, int attempts = 0) {
    return RelayJob{"q1", 3, sender, recipient, "/q/q1.data", kArrival, attempts};
}

RelayOutcome Pass(FakePeers& peers, const std::string& sender, const std::string& recipient,
                  const RelayPassSettings& settings = kSettings) {
    return Button1Click(Job(sender, recipient), settings, peers.Services());
}

using Calls = std::vector<std::string>;

TEST(RelayPassTest, DeliversToThePreferredExchangerWithTheAddressesAsStored) {
    FakePeers peers;
    peers.mx["example.test"] = {"mx1.example.test", "mx2.example.test"};
    const RelayOutcome outcome = Pass(peers, "Al@Sender.test", " Bob@EXAMPLE.Test");
    EXPECT_EQ(outcome.result, RelayResult::relayed);
    EXPECT_EQ(outcome.id, "q1");
    EXPECT_EQ(outcome.recipientIndex, 3u);
    EXPECT_EQ(outcome.attempts, 1);
    EXPECT_EQ(outcome.status, "电子邮件转发成功！");
    EXPECT_EQ(outcome.logText,
              "邮件转发成功！From:Al@Sender.test/To: Bob@EXAMPLE.Test/Time:12:34:56");
    EXPECT_EQ(peers.calls,
              (Calls{"lookup 127.0.0.2 example.test",
                     "send Al@Sender.test  Bob@EXAMPLE.Test mx1.example.test /q/q1.data"}));
}

TEST(RelayPassTest, WithoutExchangersTheDomainItselfIsTheHost) {
    FakePeers peers;
    Pass(peers, "a@b.test", "r@127.0.0.3"); // answered, but no MX
    peers.lookupAnswers = false;
    peers.mx["x.test"] = {"ignored.x.test"};
    Pass(peers, "a@b.test", "r@x.test");    // not answered
    Pass(peers, "a@b.test", " NoAt.Test "); // no "@": the whole address is the domain
    EXPECT_EQ(peers.calls[1], "send a@b.test r@127.0.0.3 127.0.0.3 /q/q1.data");
    EXPECT_EQ(peers.calls[3], "send a@b.test r@x.test x.test /q/q1.data");
    EXPECT_EQ(peers.calls[4], "lookup 127.0.0.2 noat.test");
    EXPECT_EQ(peers.calls[5], "send a@b.test  NoAt.Test  noat.test /q/q1.data");
}

TEST(RelayPassTest, APermanentFailureSendsTheNoticeThenNineTonesAndTellsWhy) {
    FakePeers peers;
    peers.delivery = kRefused;
    peers.mx["sender.test"] = {"mx.sender.test"};
    const RelayOutcome outcome = Pass(peers, " Alice@Sender.Test", "bob@example.test");
    EXPECT_EQ(outcome.result, RelayResult::failed);
    EXPECT_EQ(outcome.reason, "550 5.1.1 no such user");
    EXPECT_EQ(outcome.status, "电子邮件转发失败！");
    EXPECT_EQ(outcome.logText,
              "邮件转发失败！From: Alice@Sender.Test/To:bob@example.test/Time:12:34:56");
    EXPECT_EQ(peers.calls,
              (Calls{"lookup 127.0.0.2 example.test",
                     "send  Alice@Sender.Test bob@example.test example.test /q/q1.data",
                     "lookup 127.0.0.2 sender.test",
                     "notice admin@relay.test  Alice@Sender.Test Email Relay Fail Notice "
                     "mx.sender.test",
                     "alert 0", "alert 1", "alert 0"}));
    EXPECT_EQ(
        peers.noticeLines,
        (Calls{"", "Your Email From:  Alice@Sender.Test /To: bob@example.test Relay Fail..."}));
}

TEST(RelayPassTest, ATemporaryFailureDefersOnTheScheduleWithoutNoticeOrAlert) {
    FakePeers peers;
    peers.delivery = kGreylisted;
    RelayPassSettings settings = kSettings;
    settings.retry = *RetrySchedule::Parse("60, 600");
    peers.now = kArrival + 10;
    RelayOutcome outcome = Button1Click(Job("a@b.test", "r@c.test"), settings, peers.Services());
    EXPECT_EQ(outcome.result, RelayResult::deferred);
    EXPECT_EQ(outcome.attempts, 1);
    EXPECT_EQ(outcome.nextAttempt, kArrival + 70);
    EXPECT_EQ(outcome.reason, "450 4.2.0 try again later");
    EXPECT_EQ(outcome.status, "");
    EXPECT_EQ(outcome.logText,
              "From:a@b.test/To:r@c.test/Retry:12:36:06/Reason:450 4.2.0 try again later");
    EXPECT_EQ(peers.calls.size(), 2u); // lookup and send only
    // The third failure waits the last delay again.
    outcome = Button1Click(Job("a@b.test", "r@c.test", 2), settings, peers.Services());
    EXPECT_EQ(outcome.attempts, 3);
    EXPECT_EQ(outcome.nextAttempt, kArrival + 610);
}

TEST(RelayPassTest, OnceTheQueueLifeHasPassedATemporaryFailureIsFinal) {
    FakePeers peers;
    peers.delivery = kGreylisted;
    peers.now = kArrival + kSettings.queuelife;
    const RelayOutcome outcome =
        Button1Click(Job("abcd@x.test", "r@y.test", 4), kSettings, peers.Services());
    EXPECT_EQ(outcome.result, RelayResult::failed);
    EXPECT_EQ(outcome.attempts, 5);
    EXPECT_EQ(outcome.reason, "gave up after 5 attempts: 450 4.2.0 try again later");
    EXPECT_EQ(outcome.status, "电子邮件转发失败！");
    EXPECT_EQ(peers.calls.back(), "alert 0");
}

TEST(RelayPassTest, SettingsDecideNoticeAndAlert) {
    FakePeers peers;
    peers.delivery = kRefused;
    Pass(peers, "abcd@x.test", "r@y.test", {"dns", "pm@z.test", false, false, 3600, {}});
    EXPECT_EQ(peers.calls.size(), 2u); // lookup, send
    Pass(peers, "abcd@x.test", "r@y.test", {"dns", "pm@z.test", true, false, 3600, {}});
    EXPECT_EQ(peers.calls.back(), "alert 0");
    EXPECT_EQ(std::count_if(peers.calls.begin(), peers.calls.end(),
                            [](const std::string& call) { return call.starts_with("notice"); }),
              0);
}

TEST(RelayPassTest, ALoopFailsForGoodWithoutAnAttempt) {
    FakePeers peers;
    peers.mx["loop.test"] = {"127.0.0.34"};
    RelayServices services = peers.Services();
    services.CheckLoop = [](const std::string& domain, const std::string& exchanger) {
        return std::optional<std::string>("mail for " + domain + " loops back to myself via " +
                                          exchanger);
    };
    RelayPassSettings quiet = kSettings;
    quiet.autoback = quiet.autobeep = false;
    const RelayOutcome outcome = Button1Click(Job("s@a.test", "x@loop.test"), quiet, services);
    EXPECT_EQ(outcome.result, RelayResult::failed);
    EXPECT_EQ(outcome.reason, "mail for loop.test loops back to myself via 127.0.0.34");
    EXPECT_EQ(peers.calls, Calls({"lookup 127.0.0.2 loop.test"})); // no delivery attempt
}

TEST(RelayPassTest, TheDomainFollowsTheLastAt) {
    EXPECT_EQ(MailDomainOf("\"a@b\"@Dest.Test"), "dest.test");
    EXPECT_EQ(MailDomainOf("plain@x.test"), "x.test");
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

TEST(RelayPassTest, ALookupThatRaisesDefersInsteadOfLosingTheMessage) {
    FakePeers peers;
    peers.lookupRaises = true;
    const RelayOutcome outcome = Pass(peers, "abcd@x.test", "r@y.test");
    EXPECT_EQ(outcome.result, RelayResult::deferred);
    EXPECT_EQ(outcome.reason, "MX lookup failed: lookup failed");
    EXPECT_EQ(peers.calls, Calls{"lookup 127.0.0.2 y.test"});
    // In the failure branch it costs only the notice: the failure is still reported.
    FakePeers second;
    second.delivery = kRefused;
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
    const RelayOutcome failed = Button1Click(Job("abcd@x.test", "r@y.test"), kSettings, services);
    EXPECT_EQ(failed.result, RelayResult::failed);
    EXPECT_EQ(second.calls.back(), "alert 0");
}

} // namespace
} // namespace lumenpost
