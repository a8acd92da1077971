#pragma once

#include "delivery/socket_address.h"
#include "loopback.h"

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace lumenpost::test {

class PeerChannel;

// A reply ending in this marker is sent without it, and the connection is then dropped.
inline const std::string kDropConnection = "<drop>";

// What the fake server does with STARTTLS: leaves it to the responder; answers 220 and
// completes the handshake; answers 220 and then sends what is no TLS, and closes. Or it
// speaks TLS from the start (STARTTLS then left to the responder).
enum class FakeTls { none, offered, broken, implicit };

struct FakeSmtpSettings {
    int connections = 1; // served one after the other
    int family = AF_INET;
    FakeTls tls = FakeTls::none;
    // Empty: a self-signed certificate for fake.example; else one for this name, signed
    // by the test CA.
    std::string certificateName;
};

// An SMTP server on 127.0.0.1 (or ::1): sends the greeting on each connection, answers
// every command line with what the responder gives, keeps the message lines of DATA.
class FakeSmtpServer {
public:
    using Responder = std::function<std::string(const std::string& command)>;

    FakeSmtpServer(std::string greeting, Responder responder, FakeSmtpSettings settings = {});
    ~FakeSmtpServer();
    FakeSmtpServer(const FakeSmtpServer&) = delete;
    FakeSmtpServer& operator=(const FakeSmtpServer&) = delete;

    // False when the family's loopback address is unavailable on this machine.
    bool Listening() const { return listener_.Get() >= 0; }
    // "127.0.0.1:port" or "[::1]:port", as SendMailLines takes a server and reasons name
    // an address.
    std::string Address() const { return Endpoint().Text(); }
    SocketAddress Endpoint() const;
    std::string Port() const { return port_; }
    // Waits for the dialogues to end; then what they held.
    void Join();
    // The commands of every connection, in order.
    const std::vector<std::string>& Commands() const { return commands_; }
    const std::vector<std::string>& DataLines() const { return dataLines_; }
    int Connections() const { return connections_; }
    // The last message data arrived through TLS.
    bool DataEncrypted() const { return dataEncrypted_; }
    // The name the client gave in the last TLS handshake; empty when none.
    const std::string& TlsServerName() const { return tlsServerName_; }

private:
    void Serve(std::string greeting, Responder responder);
    void Converse(PeerChannel& channel, const Responder& responder);
    // Sends the reply to `command`; false when the dialogue ends with it.
    bool Answer(PeerChannel& channel, const Responder& responder, const std::string& command,
                std::string& reply);
    bool StartTls(PeerChannel& channel);
    bool Encrypt(PeerChannel& channel);
    bool ReadData(PeerChannel& channel);

    FakeSmtpSettings settings_;
    Descriptor listener_;
    std::string port_;
    std::vector<std::string> commands_;
    std::vector<std::string> dataLines_;
    int connections_ = 0;
    bool dataEncrypted_ = false;
    std::string tlsServerName_;
    std::thread thread_;
};

// Replies by command prefix: `overrides` first (in order), then a willing server's
// defaults (EHLO and HELO 250, MAIL 250, RCPT 250, DATA 354, end of data 250, QUIT 221).
FakeSmtpServer::Responder
ReplyByPrefix(std::vector<std::pair<std::string, std::string>> overrides = {});

} // namespace lumenpost::test
