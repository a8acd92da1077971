#include "fake_smtp_server.h"

#include <sys/socket.h>

namespace lumenpost::test {

FakeSmtpServer::FakeSmtpServer(std::string greeting, Responder responder)
    : listener_(BindLoopback(SOCK_STREAM)), port_(PortText(listener_.Get())) {
    thread_ = std::thread(&FakeSmtpServer::Serve, this, std::move(greeting), std::move(responder));
}

FakeSmtpServer::~FakeSmtpServer() {
    Join();
}

std::string FakeSmtpServer::Address() const {
    return "127.0.0.1:" + port_;
}

void FakeSmtpServer::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void FakeSmtpServer::Serve(std::string greeting, Responder responder) {
    const Descriptor connection = AcceptOne(listener_.Get());
    const int fd = connection.Get();
    if (fd < 0 || !SendAll(fd, greeting)) {
        return;
    }
    std::string pending;
    std::string line;
    while (ReceiveLine(fd, pending, line)) {
        commands_.push_back(line);
        std::string reply = responder(line);
        const bool drop = reply.ends_with(kDropConnection);
        if (drop) {
            reply.resize(reply.size() - kDropConnection.size());
        }
        if (!SendAll(fd, reply) || drop || line == "QUIT") {
            return;
        }
        if (line == "DATA" && reply.starts_with("354") && !ReadData(fd, pending)) {
            return;
        }
    }
}

// Keeps the message lines as sent (still dot-stuffed) up to the end line, which is
// then answered like a command named ".".
bool FakeSmtpServer::ReadData(int fd, std::string& pending) {
    std::string line;
    while (ReceiveLine(fd, pending, line)) {
        if (line == ".") {
            pending.insert(0, ".\r\n");
            return true;
        }
        dataLines_.push_back(line);
    }
    return false;
}

FakeSmtpServer::Responder
ReplyByPrefix(std::vector<std::pair<std::string, std::string>> overrides) {
    const std::vector<std::pair<std::string, std::string>> defaults = {
        {"EHLO", "250 fake.example\r\n"}, {"HELO", "250 fake.example\r\n"},
        {"MAIL FROM:", "250 OK\r\n"},     {"RCPT TO:", "250 OK\r\n"},
        {"DATA", "354 go ahead\r\n"},     {".", "250 queued\r\n"},
        {"QUIT", "221 bye\r\n"}};
    overrides.insert(overrides.end(), defaults.begin(), defaults.end());
    return [overrides](const std::string& command) {
        for (const auto& [prefix, reply] : overrides) {
            if (command.starts_with(prefix)) {
                return reply;
            }
        }
        return std::string("500 unknown\r\n");
    };
}

} // namespace lumenpost::test
