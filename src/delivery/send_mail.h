#pragma once

#include <string>
#include <vector>

namespace lumenpost {

// Delivers `lines` (message lines without line ends or the end line) in one SMTP
// connection to `server` ("host" or "host:port"; port defaults to the "smtp" service).
// `recipients` is a comma-separated list; the first refused recipient ends the
// delivery. AUTH is tried only when `user` or `password` is not empty. True when the
// server accepted the message (250 after the end of data).
bool SendMailLines(const std::string& sender, const std::string& recipients,
                   const std::string& server, const std::vector<std::string>& lines,
                   const std::string& user, const std::string& password);

// As SendMailLines, with "from:", "to:", "date:" and "subject:" header lines and an
// empty line put in front of `lines`.
bool SendMailWithHeaders(const std::string& sender, const std::string& recipient,
                         const std::string& subject, const std::string& server,
                         const std::vector<std::string>& lines, const std::string& user,
                         const std::string& password);

} // namespace lumenpost
