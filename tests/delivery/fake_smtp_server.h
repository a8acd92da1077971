#pragma once

#include "loopback.h"

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace lumenpost::test {

// A reply ending in this marker is sent without it, and the connection is then dropped.
inline const std::string kDropConnection = "<drop>";

// An SMTP server on 127.0.0.1 for one connection: sends the greeting, answers every
// command line with what the responder gives, keeps the message lines of DATA.
class FakeSmtpServer {
public:
    using Responder = std::function<std::string(const std::string& command)>;

    FakeSmtpServer(std::string greeting, Responder responder);
    ~FakeSmtpServer();
    FakeSmtpServer(const FakeSmtpServer&) = delete;
    FakeSmtpServer& operator=(const FakeSmtpServer&) = delete;

    // "127.0.0.1:port", as SendMailLines takes a server.
    std::string Address() const;
    std::string Port() const { return port_; }
    // Waits for the dialogue to end; then the commands and data lines received.
    void Join();
    const std::vector<std::string>& Commands() const { return commands_; }
    const std::vector<std::string>& DataLines() const { return dataLines_; }

private:
    void Serve(std::string greeting, Responder responder);
    bool ReadData(int fd, std::string& pending);

    Descriptor listener_;
    std::string port_;
    std::vector<std::string> commands_;
    std::vector<std::string> dataLines_;
    std::thread thread_;
};

// Replies by command prefix: `overrides` first (in order), then a willing server's
// defaults (EHLO and HELO 250, MAIL 250, RCPT 250, DATA 354, end of data 250, QUIT 221).
FakeSmtpServer::Responder
ReplyByPrefix(std::vector<std::pair<std::string, std::string>> overrides = {});

} // namespace lumenpost::test
