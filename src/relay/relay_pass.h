#pragma once

#include "delivery/message_delivery.h"
#include "queue/retry_schedule.h"
#include "relay/relay_settings.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lumenpost {

// One attempt to deliver one recipient of a queued message. Every pass gets its own
// copy, so a newer message can never change what an older pass delivers.
struct RelayJob {
    std::string id;                 // queue id of the message
    std::size_t recipientIndex = 0; // which recipient of its envelope
    std::string MailSender;         // as the client gave it
    std::string MailRecipient;      // as the client gave it
    std::string dataPath;           // the message text on disk
    std::int64_t arrival = 0;       // Unix seconds
    int attempts = 0;               // attempts made before this one
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

    static RelayPassSettings From(const RelaySettings& settings);
};

// Everything a pass reaches outside itself; tests replace the parts.
struct RelayServices {
    std::function<bool(const std::string& dnsServer, const std::string& domain,
                       std::vector<std::string>& hosts)>
        LookupMailServers;
    std::function<DeliveryResult(const std::string& sender, const std::string& recipient,
                                 const std::string& server, const std::string& dataPath)>
        DeliverMessage;
    std::function<bool(const std::string& sender, const std::string& recipient,
                       const std::string& subject, const std::string& server,
                       const std::vector<std::string>& lines)>
        SendMailWithHeaders;
    std::function<void(int pattern)> PlayAlert;
    // The reason why mail for `domain` through `exchanger` would come back to this relay,
    // or nothing; unset: no check.
    std::function<std::optional<std::string>(const std::string& domain,
                                             const std::string& exchanger)>
        CheckLoop;
    // The time now, in Unix seconds.
    std::function<std::int64_t()> Now;
};

enum class RelayResult { relayed, deferred, failed };

// What a pass leaves behind, for the UI thread: the queue's new state of the recipient,
// the status text and the log line without its number (the core puts the count in front
// when it adds the line).
struct RelayOutcome {
    std::string id;
    std::size_t recipientIndex = 0;
    RelayResult result = RelayResult::deferred;
    int attempts = 0;             // including this one
    std::int64_t nextAttempt = 0; // when deferred
    std::string reason;           // empty when relayed
    std::string status; // "电子邮件转发成功！" or "电子邮件转发失败！"; empty when deferred
    std::string logText; // "邮件转发成功！From:.../To:.../Time:hh:mm:ss"; for a deferred
                         // recipient "From:.../To:.../Retry:hh:mm:ss/Reason:..."
};

inline constexpr const char* kNoticeSubject = "Email Relay Fail Notice";

// The relay pass: finds the recipient domain's exchanger and delivers. A temporary
// failure defers the recipient on the retry schedule, until the queue life has passed;
// a permanent one (or giving up) is the failure branch: notice and alert as the settings
// ask. Blocking; runs on a worker thread and touches nothing shared.
RelayOutcome Button1Click(const RelayJob& job, const RelayPassSettings& settings,
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
