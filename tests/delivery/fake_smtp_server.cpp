#include "fake_smtp_server.h"

#include "tls_test_peer.h"

#include <sys/socket.h>

namespace lumenpost::test {

FakeSmtpServer::FakeSmtpServer(std::string greeting, Responder responder, FakeSmtpSettings settings)
    : settings_(settings), listener_(BindLoopback(SOCK_STREAM, settings.family)),
      port_(Listening() ? PortText(listener_.Get()) : std::string()) {
    if (Listening()) {
        thread_ =
            std::thread(&FakeSmtpServer::Serve, this, std::move(greeting), std::move(responder));
    }
}

FakeSmtpServer::~FakeSmtpServer() {
    Join();
}

SocketAddress FakeSmtpServer::Endpoint() const {
    const char* host = settings_.family == AF_INET6 ? "::1" : "127.0.0.1";
    return SocketAddress::FromText(host, static_cast<std::uint16_t>(std::stoi(port_)))
        .value_or(SocketAddress());
}

void FakeSmtpServer::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void FakeSmtpServer::Serve(std::string greeting, Responder responder) {
    for (int i = 0; i < settings_.connections; ++i) {
        PeerChannel channel(AcceptOne(listener_.Get()));
        if (!channel.Valid()) {
            return;
        }
        ++connections_;
        if (settings_.tls == FakeTls::implicit && !Encrypt(channel)) {
            continue;
        }
        if (channel.Send(greeting)) {
            Converse(channel, responder);
        }
    }
}

void FakeSmtpServer::Converse(PeerChannel& channel, const Responder& responder) {
    std::string line;
    std::string reply;
    while (channel.ReceiveLine(line)) {
        commands_.push_back(line);
        if (line == "STARTTLS" &&
            (settings_.tls == FakeTls::offered || settings_.tls == FakeTls::broken)) {
            if (!StartTls(channel)) {
                return;
            }
            continue;
        }
        if (!Answer(channel, responder, line, reply)) {
            return;
        }
        if (line == "DATA" && reply.starts_with("354")) {
            // The end line is answered like a command named ".".
            if (!ReadData(channel)) {
                return;
            }
            commands_.push_back(".");
            if (!Answer(channel, responder, ".", reply)) {
                return;
            }
        }
    }
}

bool FakeSmtpServer::Answer(PeerChannel& channel, const Responder& responder,
                            const std::string& command, std::string& reply) {
    reply = responder(command);
    const bool drop = reply.ends_with(kDropConnection);
    if (drop) {
        reply.resize(reply.size() - kDropConnection.size());
    }
    return channel.Send(reply) && !drop && command != "QUIT";
}

bool FakeSmtpServer::StartTls(PeerChannel& channel) {
    if (!channel.Send("220 2.0.0 ready to start TLS\r\n")) {
        return false;
    }
    if (settings_.tls == FakeTls::broken) {
        channel.Send("this is not what TLS looks like\r\n");
        return false;
    }
    return Encrypt(channel);
}

bool FakeSmtpServer::Encrypt(PeerChannel& channel) {
    SSL_CTX* context = settings_.certificateName.empty()
                           ? TestServerContext()
                           : CaSignedServerContext(settings_.certificateName);
    if (!channel.Encrypt(context)) {
        return false;
    }
    tlsServerName_ = channel.ServerName();
    return true;
}

// Keeps the message lines as sent (still dot-stuffed) up to the end line.
bool FakeSmtpServer::ReadData(PeerChannel& channel) {
    dataEncrypted_ = channel.Encrypted();
    std::string line;
    while (channel.ReceiveLine(line)) {
        if (line == ".") {
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
