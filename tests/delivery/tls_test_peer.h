#pragma once

#include "loopback.h"

#include <memory>
#include <openssl/types.h>
#include <string>

// The server side of TLS for the delivery tests' fake peers.
namespace lumenpost::test {

struct SslFree {
    void operator()(SSL* ssl) const;
};

// A server context with a self-signed certificate for "fake.example", generated once per
// test process (no key material lives in the repository).
SSL_CTX* TestServerContext();

// A server context whose certificate names `name` (as its DNS name, or its IP address
// when `name` is one) and is signed by the test CA, generated once per test process.
SSL_CTX* CaSignedServerContext(const std::string& name);
// A PEM file with the test CA's certificate, for the client to trust; removed when the
// test process ends.
const std::string& TestCaFile();

// One accepted connection of a fake peer, in clear or, after Encrypt, through TLS. Every
// wait is limited to kPeerWaitMs.
class PeerChannel {
public:
    explicit PeerChannel(Descriptor fd);

    bool Valid() const { return fd_.Get() >= 0; }
    int Fd() const { return fd_.Get(); }
    bool Send(const std::string& text);
    // Reads up to CR LF (removed); false on end, error or time-out.
    bool ReceiveLine(std::string& line);
    // The server handshake with `context`; input received in clear and not yet read is
    // dropped.
    bool Encrypt(SSL_CTX* context = TestServerContext());
    bool Encrypted() const { return ssl_ != nullptr; }
    // The name the client gave (SNI); empty when none.
    std::string ServerName() const;

private:
    bool ReceiveMore();

    Descriptor fd_;
    std::unique_ptr<SSL, SslFree> ssl_;
    std::string pending_;
};

} // namespace lumenpost::test
