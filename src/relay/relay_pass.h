#pragma once

#include "relay/mail_line_splitter.h"
#include "relay/relay_settings.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lumenpost {

// One completed message for one recipient. Every pass gets its own copy, so a newer
// message can never change what an older pass delivers.
struct RelayJob {
    std::string MailSender;    // as the server handed it over
    std::string MailRecipient; // as the server handed it over
    MailLineList MailLines;
};

// The settings a pass uses, read on the UI thread when the pass starts: the pass never
// touches the core from its worker thread.
struct RelayPassSettings {
    std::string dns;        // DNS server text (ComboBox1)
    std::string postmaster; // administrator mailbox (Edit1), sender of failure notices
    bool autobeep = true;   // CheckBox3: alert on failure
    bool autoback = true;   // CheckBox4: failure notice to the sender

    static RelayPassSettings From(const RelaySettings& settings);
};

// Everything a pass reaches outside itself; tests replace the parts.
struct RelayServices {
    std::function<bool(const std::string& dnsServer, const std::string& domain,
                       std::vector<std::string>& hosts)>
        LookupMailServers;
    std::function<bool(const std::string& sender, const std::string& recipient,
                       const std::string& server, const std::vector<std::string>& lines)>
        SendMailLines;
    std::function<bool(const std::string& sender, const std::string& recipient,
                       const std::string& subject, const std::string& server,
                       const std::vector<std::string>& lines)>
        SendMailWithHeaders;
    std::function<void(int pattern)> PlayAlert;
    // The local time of day as HH:MM:SS.
    std::function<std::string()> TimeOfDay;
};

// What a pass leaves behind: the status text and the log line without its number (the
// core puts the count in front when it adds the line on the UI thread).
struct RelayOutcome {
    bool relayed = false;
    std::string status;  // "电子邮件转发成功！" or "电子邮件转发失败！"
    std::string logText; // "邮件转发成功！From:.../To:.../Time:hh:mm:ss"
};

inline constexpr const char* kNoticeSubject = "Email Relay Fail Notice";

// The relay pass: finds the recipient domain's exchanger, delivers, and on failure
// sends the notice and sounds the alert as the settings ask. Blocking; runs on a worker
// thread and touches nothing shared. Nothing when a lookup raised an error: such a pass
// ends without any report.
std::optional<RelayOutcome> Button1Click(const RelayJob& job, const RelayPassSettings& settings,
                                         const RelayServices& services);

// The text after the first "@" of the lower-cased, trimmed address; the whole of it
// without an "@".
std::string MailDomainOf(const std::string& address);

// Whether a failure notice may go to this sender: its first "@" at position 2 or later
// and its first "." at position 4 or later (positions from 1), lower-cased and trimmed.
bool SenderTakesNotice(const std::string& sender);

} // namespace lumenpost
