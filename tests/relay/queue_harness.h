#pragma once

#include "relay/relay_queue.h"
#include "temp_queue.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace lumenpost {

// A relay queue over a temporary folder whose passes come to nothing: their outcomes are
// dropped, so a recipient taken stays pending until the test applies the outcome it wants.
class QueueHarness {
public:
    QueueHarness()
        : workers_(IdleServices(), [](const RelayOutcome&) {}),
          queue_(
              folder_.Folder(), workers_, [this] { return settings; }, [this] { return now; },
              "relay.test") {}

    // A message made durable as the intake does it, not yet known to the queue.
    Envelope Commit(const std::string& sender, const std::vector<std::string>& recipients,
                    std::int64_t arrival = 100,
                    const std::string& text = "Subject: t\r\n\r\nbody\r\n") {
        Envelope envelope{QueueFolder::NewId(), arrival, sender, false, false, {}};
        for (const std::string& recipient : recipients) {
            envelope.recipients.push_back(QueuedRecipient::Pending(recipient));
        }
        std::string error;
        auto spool = Folder().CreateSpool(envelope.id, error);
        EXPECT_TRUE(spool) << error;
        if (spool) {
            spool->Append(text);
            EXPECT_EQ(spool->Commit(envelope), std::nullopt);
        }
        return envelope;
    }

    // The same, handed to the queue.
    Envelope Add(const std::string& sender, const std::vector<std::string>& recipients,
                 std::int64_t arrival = 100) {
        Envelope envelope = Commit(sender, recipients, arrival);
        queue_.Add(envelope);
        return envelope;
    }

    // What a pass would report for recipient `index` of `envelope`.
    static RelayOutcome Outcome(const Envelope& envelope, std::size_t index, RelayResult result,
                                const std::string& reason = {}, std::int64_t next = 0) {
        RelayOutcome outcome;
        outcome.id = envelope.id;
        outcome.recipientIndex = index;
        outcome.MailRecipient = envelope.recipients.at(index).address;
        outcome.result = result;
        outcome.attempts = envelope.recipients.at(index).attempts + 1;
        outcome.nextAttempt = next;
        outcome.reason = reason;
        return outcome;
    }

    RelayQueue& Queue() { return queue_; }
    const QueueBook& Book() const { return queue_.Book(); }
    const QueueFolder& Folder() const { return folder_.Folder(); }

    RelayPassSettings settings{"127.0.0.2", "pm@relay.test", false, true, 3600,
                               {},          TlsPolicy::may,  {},    {}};
    std::int64_t now = 1000;

private:
    static RelayServices IdleServices() {
        RelayServices services;
        services.ResolveRoute = [](const std::string&, const std::string&) {
            return Route{RouteStatus::temporary, "DNS server 127.0.0.2 did not answer", {}};
        };
        services.PlayAlert = [](int) {};
        services.Now = [] { return std::int64_t{1000}; };
        return services;
    }

    TempQueue folder_;
    RelayWorkers workers_;
    RelayQueue queue_;
};

} // namespace lumenpost
