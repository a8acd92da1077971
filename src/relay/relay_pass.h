#pragma once

#include "delivery/exchanger_route.h"
#include "delivery/message_delivery.h"
#include "queue/retry_schedule.h"
#include "relay/relay_settings.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lumenpost {

// One attempt to deliver the recipients of a queued message that share a domain, in one
// connection. Every pass gets its own copy, so a newer message can never change what an
// older pass delivers.
struct RelayJob {
    struct Recipient {
        std::size_t index = 0;     // which recipient of its envelope
        std::string MailRecipient; // as the client gave it
        int attempts = 0;          // attempts made before this one
    };
    std::string id;         // queue id of the message
    std::string MailSender; // as the client gave it
    std::string domain;     // of every recipient, lower-cased
    std::vector<Recipient> recipients;
    std::string dataPath;     // the message text on disk
    std::int64_t arrival = 0; // Unix seconds
    MessageTraits traits;
};

// The settings a pass uses, read on the UI thread when the pass starts: the pass never
// touches the core from its worker thread.
struct RelayPassSettings {
    std::string dns;        // DNS server text (ComboBox1)
    std::string postmaster; // administrator mailbox (Edit1), sender of failure notices
    bool autobeep = true;   // CheckBox3: alert on failure
    bool autoback = true;   // CheckBox4: failure notice to the sender
    std::int64_t queuelife = kDefaultQueueLife; // seconds a recipient may stay deferred
    RetrySchedule retry;
    TlsPolicy tls = TlsPolicy::may;
    std::string relayhost; // empty: each domain's MX; "host" or "host:port": every message
    std::string relayuser; // AUTH at the relay host; empty: none

    static RelayPassSettings From(const RelaySettings& settings);
};

// Everything a pass reaches outside itself; tests replace the parts.
struct RelayServices {
    // The exchangers of `domain` through the DNS server the user chose.
    std::function<Route(const std::string& dnsServer, const std::string& domain)> ResolveRoute;
    // The addresses of the relay host `host` through the same DNS server.
    std::function<Route(const std::string& dnsServer, const std::string& host, std::uint16_t port)>
        ResolveRelayHost;
    // The password of `user` at `relayhost` (the setting as written); nothing when none is
    // known. Called from the worker threads.
    std::function<std::optional<std::string>(const std::string& user, const std::string& relayhost)>
        RelayPassword;
    std::function<MessageDeliveryResult(
        const RelayJob& job, const std::vector<std::string>& recipients,
        const std::vector<Exchanger>& exchangers, const DeliveryOptions& options)>
        DeliverMessage;
    std::function<void(int pattern)> PlayAlert;
    // The reason why mail for `domain` through these exchangers would come back to this
    // relay, or nothing; unset: no check.
    std::function<std::optional<std::string>(const std::string& domain,
                                             const std::vector<Exchanger>& exchangers)>
        CheckLoop;
    // The time now, in Unix seconds.
    std::function<std::int64_t()> Now;
};

enum class RelayResult { relayed, deferred, failed };

// What a pass leaves behind for one recipient, for the UI thread: the queue's new state of
// the recipient, the status text and the log line without its number (the core puts the
// count in front when it adds the line).
struct RelayOutcome {
    std::string id;
    std::size_t recipientIndex = 0;
    std::string MailRecipient;
    RelayResult result = RelayResult::deferred;
    int attempts = 0;             // including this one
    std::int64_t nextAttempt = 0; // when deferred
    std::string reason;           // the exchanger's reply, or what failed before one
    std::string exchanger;        // "mx.example [192.0.2.7]:25"; empty when none answered
    std::string tls;              // "TLSv1.3 TLS_AES_256_GCM_SHA384"; empty: in clear
    std::string status; // "电子邮件转发成功！" or "电子邮件转发失败！"; empty when deferred
    std::string logText; // "邮件转发成功！From:.../To:.../Time:hh:mm:ss"; for a deferred
                         // recipient "From:.../To:.../Retry:hh:mm:ss/Reason:..."
};

// The relay pass: finds the exchangers of the recipients' domain (or, with a relay host
// set, that host's addresses) and delivers to all of them in one connection. A temporary
// failure defers a recipient on the retry schedule, until the queue life has passed; a
// permanent one (or giving up) is the failure branch: log line, status and alert as the
// settings ask (the notice to the sender is queued per delivery round by the queue).
// Blocking; runs on a worker thread and touches nothing shared. One outcome per
// recipient, in the job's order.
std::vector<RelayOutcome> Button1Click(const RelayJob& job, const RelayPassSettings& settings,
                                       const RelayServices& services);

// A Unix time as local time in the form of strftime's `format` (at most 63 octets).
std::string LocalTimeText(std::int64_t unixSeconds, const char* format);
// The local time of day of a Unix time as HH:MM:SS.
std::string LocalTimeOfDay(std::int64_t unixSeconds);

// The text after the first "@" of the lower-cased, trimmed address; the whole of it
// without an "@".
std::string MailDomainOf(const std::string& address);

// Whether a failure notice may go to this sender: its first "@" at position 2 or later
// and its first "." at position 4 or later (positions from 1), lower-cased and trimmed.
bool SenderTakesNotice(const std::string& sender);

} // namespace lumenpost
