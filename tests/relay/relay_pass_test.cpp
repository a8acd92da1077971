#include "relay/relay_pass.h"

#include <algorithm>
#include <ctime>
#include <gtest/gtest.h>
#include <limits>
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

const DeliveryResult kDelivered{DeliveryStatus::delivered, "250 2.0.0 queued"};
const DeliveryResult kRefused{DeliveryStatus::permanent, "550 5.1.1 no such user"};
const DeliveryResult kGreylisted{DeliveryStatus::temporary, "450 4.2.0 try again later"};

// Fake peers that record every call in order.
struct FakePeers {
    Route route{RouteStatus::found, "", {{"mx1.example.test", {}}, {"mx2.example.test", {}}}};
    bool resolveRaises = false;
    std::vector<DeliveryResult> results{kDelivered};
    std::vector<std::string> calls;
    TlsPolicy tlsSeen = TlsPolicy::none;
    DeliveryOptions optionsSeen;
    std::optional<std::string> relayPassword = "s3cret";
    std::int64_t now = kArrival;

    RelayServices Services() {
        RelayServices services;
        services.ResolveRoute = [this](const std::string& dns, const std::string& domain) {
            calls.push_back("resolve " + dns + " " + domain);
            if (resolveRaises) {
                throw std::runtime_error("resolver out of memory");
            }
            return route;
        };
        services.ResolveRelayHost = [this](const std::string& dns, const std::string& host,
                                           std::uint16_t port) {
            calls.push_back("relay host " + dns + " " + host + " " + std::to_string(port));
            return route;
        };
        services.RelayPassword = [this](const std::string& user, const std::string& host) {
            calls.push_back("password " + user + "@" + host);
            return relayPassword;
        };
        services.DeliverMessage =
            [this](const RelayJob& job, const std::vector<std::string>& recipients,
                   const std::vector<Exchanger>& exchangers, const DeliveryOptions& options) {
                std::string call = "send " + job.MailSender + " " + job.dataPath + " via";
                for (const Exchanger& exchanger : exchangers) {
                    call += " " + exchanger.name;
                }
                call += " to";
                for (const std::string& recipient : recipients) {
                    call += " " + recipient;
                }
                calls.push_back(call);
                tlsSeen = options.tls;
                optionsSeen = options;
                return MessageDeliveryResult{results, "mx1.example.test [192.0.2.25]:25",
                                             "TLSv1.3 TLS_AES_256_GCM_SHA384"};
            };
        services.PlayAlert = [this](int pattern) {
            calls.push_back("alert " + std::to_string(pattern));
        };
        services.Now = [this] { return now; };
        return services;
    }
};

const RelayPassSettings kSettings{"127.0.0.2", "admin@relay.test", true, true, 3600,
                                  {},          TlsPolicy::may,     {},   {}};

RelayJob Job(const std::string& sender, const std::vector<std::string>& recipients,
             int attempts = 0) {
    RelayJob job{"q1", sender, "example.test", {}, "/q/q1.data", kArrival, {}};
    for (std::size_t i = 0; i < recipients.size(); ++i) {
        job.recipients.push_back({i + 3, recipients[i], attempts});
    }
    return job;
}

std::vector<RelayOutcome> Pass(FakePeers& peers, const std::string& sender,
                               const std::vector<std::string>& recipients,
                               const RelayPassSettings& settings = kSettings, int attempts = 0) {
    return Button1Click(Job(sender, recipients, attempts), settings, peers.Services());
}

using Calls = std::vector<std::string>;

TEST(RelayPassTest, DeliversEveryRecipientOfTheDomainInOneCallWithTheAddressesAsStored) {
    FakePeers peers;
    peers.results = {kDelivered, kDelivered};
    const auto outcomes = Pass(peers, "Al@Sender.test", {" Bob@EXAMPLE.Test", "c@example.test"});
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(peers.calls, (Calls{"resolve 127.0.0.2 example.test",
                                  "send Al@Sender.test /q/q1.data via mx1.example.test "
                                  "mx2.example.test to  Bob@EXAMPLE.Test c@example.test"}));
    EXPECT_EQ(peers.tlsSeen, TlsPolicy::may);
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const RelayOutcome& outcome = outcomes[i];
        EXPECT_EQ(outcome.result, RelayResult::relayed);
        EXPECT_EQ(outcome.id, "q1");
        EXPECT_EQ(outcome.recipientIndex, i + 3);
        EXPECT_EQ(outcome.attempts, 1);
        EXPECT_EQ(outcome.status, "电子邮件转发成功！");
        EXPECT_EQ(outcome.exchanger, "mx1.example.test [192.0.2.25]:25");
        EXPECT_EQ(outcome.tls, "TLSv1.3 TLS_AES_256_GCM_SHA384");
    }
    EXPECT_EQ(outcomes[0].logText,
              "邮件转发成功！From:Al@Sender.test/To: Bob@EXAMPLE.Test/Time:12:34:56");
}

TEST(RelayPassTest, EachRecipientKeepsItsOwnOutcomeLineAndAlert) {
    FakePeers peers;
    peers.results = {kDelivered, kRefused, kGreylisted};
    peers.now = kArrival + 10;
    const auto outcomes =
        Pass(peers, " Alice@Sender.Test", {"a@example.test", "b@example.test", "c@example.test"});
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0].result, RelayResult::relayed);
    EXPECT_EQ(outcomes[1].result, RelayResult::failed);
    EXPECT_EQ(outcomes[1].reason, "550 5.1.1 no such user");
    EXPECT_EQ(outcomes[1].status, "电子邮件转发失败！");
    EXPECT_EQ(outcomes[1].logText,
              "邮件转发失败！From: Alice@Sender.Test/To:b@example.test/Time:12:35:06");
    EXPECT_EQ(outcomes[1].tls, ""); // only a delivery says how it went
    EXPECT_EQ(outcomes[2].result, RelayResult::deferred);
    // The failure plays the alert's nine tones once: patterns 0, 1, 0.
    EXPECT_EQ(Calls(peers.calls.begin() + 2, peers.calls.end()),
              (Calls{"alert 0", "alert 1", "alert 0"}));
}

TEST(RelayPassTest, ARouteThatCannotBeFoundDecidesForEveryRecipientWithoutAnAttempt) {
    FakePeers peers;
    peers.route = {RouteStatus::permanent, "domain example.test does not exist", {}};
    RelayPassSettings quiet = kSettings;
    quiet.autobeep = false;
    auto outcomes = Pass(peers, "s@a.test", {"x@example.test", "y@example.test"}, quiet);
    ASSERT_EQ(outcomes.size(), 2u);
    for (const RelayOutcome& outcome : outcomes) {
        EXPECT_EQ(outcome.result, RelayResult::failed);
        EXPECT_EQ(outcome.reason, "domain example.test does not exist");
    }
    peers.route = {RouteStatus::temporary, "DNS server 127.0.0.2 did not answer within 15 s", {}};
    outcomes = Pass(peers, "s@a.test", {"x@example.test"}, quiet);
    EXPECT_EQ(outcomes.at(0).result, RelayResult::deferred);
    EXPECT_EQ(outcomes.at(0).reason, "DNS server 127.0.0.2 did not answer within 15 s");
    EXPECT_EQ(peers.calls,
              (Calls{"resolve 127.0.0.2 example.test", "resolve 127.0.0.2 example.test"}));
}

TEST(RelayPassTest, ATemporaryFailureDefersOnTheScheduleWithoutAlert) {
    FakePeers peers;
    peers.results = {kGreylisted};
    RelayPassSettings settings = kSettings;
    settings.retry = *RetrySchedule::Parse("60, 600");
    peers.now = kArrival + 10;
    RelayOutcome outcome = Pass(peers, "a@b.test", {"r@c.test"}, settings).at(0);
    EXPECT_EQ(outcome.result, RelayResult::deferred);
    EXPECT_EQ(outcome.attempts, 1);
    EXPECT_EQ(outcome.nextAttempt, kArrival + 70);
    EXPECT_EQ(outcome.reason, "450 4.2.0 try again later");
    EXPECT_EQ(outcome.status, "");
    EXPECT_EQ(outcome.logText,
              "From:a@b.test/To:r@c.test/Retry:12:36:06/Reason:450 4.2.0 try again later");
    EXPECT_EQ(peers.calls.size(), 2u); // resolve and send only
    // The third failure waits the last delay again.
    outcome = Pass(peers, "a@b.test", {"r@c.test"}, settings, 2).at(0);
    EXPECT_EQ(outcome.attempts, 3);
    EXPECT_EQ(outcome.nextAttempt, kArrival + 610);
}

TEST(RelayPassTest, OnceTheQueueLifeHasPassedATemporaryFailureIsFinal) {
    FakePeers peers;
    peers.results = {kGreylisted};
    peers.now = kArrival + kSettings.queuelife;
    const RelayOutcome outcome = Pass(peers, "abcd@x.test", {"r@y.test"}, kSettings, 4).at(0);
    EXPECT_EQ(outcome.result, RelayResult::failed);
    EXPECT_EQ(outcome.attempts, 5);
    EXPECT_EQ(outcome.reason, "gave up after 5 attempts: 450 4.2.0 try again later");
    EXPECT_EQ(outcome.status, "电子邮件转发失败！");
    EXPECT_EQ(peers.calls.back(), "alert 0");
}

TEST(RelayPassTest, CountsFromADamagedEnvelopeSaturateInsteadOfOverflowing) {
    FakePeers peers;
    peers.results = {kGreylisted};
    RelayJob job = Job("a@x.test", {"r@y.test"}, std::numeric_limits<int>::max());
    job.arrival = std::numeric_limits<std::int64_t>::min();
    const RelayOutcome outcome = Button1Click(job, kSettings, peers.Services()).at(0);
    EXPECT_EQ(outcome.result, RelayResult::failed);
    EXPECT_EQ(outcome.attempts, std::numeric_limits<int>::max());
    EXPECT_EQ(outcome.reason, "gave up after 2147483647 attempts: 450 4.2.0 try again later");
}

TEST(RelayPassTest, ALoopFailsForGoodWithoutAnAttempt) {
    FakePeers peers;
    RelayServices services = peers.Services();
    services.CheckLoop = [](const std::string& domain, const std::vector<Exchanger>& exchangers) {
        return exchangers.empty() ? std::nullopt
                                  : std::optional<std::string>("mail for " + domain +
                                                               " loops back to myself via " +
                                                               exchangers.front().name);
    };
    RelayPassSettings quiet = kSettings;
    quiet.autobeep = false;
    const RelayOutcome outcome =
        Button1Click(Job("s@a.test", {"x@example.test"}), quiet, services).at(0);
    EXPECT_EQ(outcome.result, RelayResult::failed);
    EXPECT_EQ(outcome.reason, "mail for example.test loops back to myself via mx1.example.test");
    EXPECT_EQ(peers.calls, Calls({"resolve 127.0.0.2 example.test"})); // no delivery attempt
}

TEST(RelayPassTest, AnOwnNameLoopsBeforeAnyLookup) {
    FakePeers peers;
    RelayServices services = peers.Services();
    services.CheckLoop = [](const std::string& domain, const std::vector<Exchanger>&) {
        return std::optional<std::string>("mail for " + domain + " loops back to myself");
    };
    const RelayOutcome outcome =
        Button1Click(Job("s@a.test", {"x@example.test"}), kSettings, services).at(0);
    EXPECT_EQ(outcome.result, RelayResult::failed);
    EXPECT_TRUE(peers.calls.empty() || peers.calls.front().starts_with("alert"));
}

TEST(RelayPassTest, AResolverThatRaisesDefersInsteadOfLosingTheMessage) {
    FakePeers peers;
    peers.resolveRaises = true;
    const auto outcomes = Pass(peers, "abcd@x.test", {"r@example.test", "s@example.test"});
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[1].result, RelayResult::deferred);
    EXPECT_EQ(outcomes[1].reason, "delivery failed: resolver out of memory");
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

RelayPassSettings WithRelayHost(const std::string& relayhost, const std::string& relayuser) {
    RelayPassSettings settings = kSettings;
    settings.relayhost = relayhost;
    settings.relayuser = relayuser;
    return settings;
}

TEST(RelayPassTest, RelayHostTakesEveryMessageWithItsLoginAndNoMxIsAsked) {
    struct Case {
        std::string relayhost;
        std::string hostAsked;
        bool implicit;
    };
    for (const Case& c : {Case{"smtp.relay.test", "smtp.relay.test 587", false},
                          Case{"smtp.relay.test:465", "smtp.relay.test 465", true},
                          Case{"[2001:db8::7]:2525", "2001:db8::7 2525", false}}) {
        SCOPED_TRACE(c.relayhost);
        FakePeers peers;
        const auto outcomes =
            Pass(peers, "a@sender.test", {"b@example.test"}, WithRelayHost(c.relayhost, "alice"));
        ASSERT_EQ(outcomes.size(), 1U);
        EXPECT_EQ(outcomes[0].result, RelayResult::relayed);
        ASSERT_EQ(peers.calls.size(), 3U);
        EXPECT_EQ(peers.calls[0], "password alice@" + c.relayhost);
        EXPECT_EQ(peers.calls[1], "relay host 127.0.0.2 " + c.hostAsked);
        EXPECT_TRUE(peers.calls[2].starts_with("send ")) << peers.calls[2];
        ASSERT_TRUE(peers.optionsSeen.submission.has_value());
        EXPECT_EQ(peers.optionsSeen.submission->implicit, c.implicit);
        EXPECT_EQ(peers.optionsSeen.user, "alice");
        EXPECT_EQ(peers.optionsSeen.password, "s3cret");
    }
    // Without a user the relay host is used without a login (and no password looked up).
    FakePeers peers;
    Pass(peers, "a@sender.test", {"b@example.test"}, WithRelayHost("smtp.relay.test", ""));
    EXPECT_EQ(peers.calls.front(), "relay host 127.0.0.2 smtp.relay.test 587");
    EXPECT_TRUE(peers.optionsSeen.user.empty());
    EXPECT_TRUE(peers.optionsSeen.submission.has_value());
}

TEST(RelayPassTest, RelayHostThatCannotBeUsedDefersWithoutAnAttempt) {
    FakePeers peers;
    peers.relayPassword.reset();
    auto outcomes =
        Pass(peers, "a@sender.test", {"b@example.test"}, WithRelayHost("smtp.relay.test", "alice"));
    EXPECT_EQ(outcomes[0].result, RelayResult::deferred);
    EXPECT_EQ(outcomes[0].reason, "no password for alice at smtp.relay.test in the secret store "
                                  "(set it in the settings)");
    EXPECT_EQ(peers.calls, Calls{"password alice@smtp.relay.test"});

    FakePeers badSetting;
    outcomes = Pass(badSetting, "a@sender.test", {"b@example.test"},
                    WithRelayHost("smtp.relay.test:smtp", "alice"));
    EXPECT_EQ(outcomes[0].result, RelayResult::deferred);
    EXPECT_TRUE(outcomes[0].reason.starts_with("relayhost smtp.relay.test:smtp in the settings is "
                                               "not host or host:port"))
        << outcomes[0].reason;
    EXPECT_TRUE(badSetting.calls.empty());
}

} // namespace
} // namespace lumenpost
