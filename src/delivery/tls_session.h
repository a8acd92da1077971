#pragma once

#include <csignal>
#include <memory>
#include <openssl/types.h>
#include <string>

namespace lumenpost {

// Holds SIGPIPE back in the calling thread while it lives and drops one raised meanwhile:
// OpenSSL writes to its socket without MSG_NOSIGNAL, and a peer that closed must not end
// the process.
class SigpipeGuard {
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t previous_{};
    bool pendingBefore_ = false;
};

// What a TLS read or write came to: the octets moved, or an error in the socket layer's
// numbering (10060 read time-out, 10035 write time-out, 10054 connection ended or broken).
struct TlsTransfer {
    int count = 0;
    int error = 0;
};

// The client side of TLS on a connected TCP socket, for opportunistic encryption: any
// certificate is taken. The socket is non-blocking while the session lives, so every
// step can be bounded; its flags are restored afterwards.
class TlsSession {
public:
    explicit TlsSession(int fd);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // The handshake within `timeoutMs` (negative: no limit), naming `serverName` (SNI)
    // unless it is an address or an address literal. On failure Failure() says why and
    // TimedOut() whether the time ran out.
    bool Handshake(const std::string& serverName, int timeoutMs);
    // Waits up to `timeoutMs` (negative: no limit) for decrypted octets; 10054 when the
    // peer ended TLS or the connection.
    TlsTransfer Read(char* buffer, int count, int timeoutMs);
    // Sends at most `count` octets, waiting up to `timeoutMs` (negative: no limit) for the
    // peer to take them.
    TlsTransfer Write(const char* buffer, int count, int timeoutMs);
    // Sends close_notify, waiting at most `timeoutMs`; nothing after a broken session.
    void Close(int timeoutMs);

    // "TLSv1.3 TLS_AES_256_GCM_SHA384".
    std::string Description() const;
    const std::string& Failure() const { return failure_; }
    bool TimedOut() const { return timedOut_; }

private:
    struct SslFree {
        void operator()(SSL* ssl) const;
    };
    enum class Step { done, timedOut, closed, failed };
    template <typename Operation> Step Drive(Operation operation, int timeoutMs);
    TlsTransfer Transfer(Step step, std::size_t moved, int timeoutError) const;

    int fd_;
    int savedFlags_;
    std::unique_ptr<SSL, SslFree> ssl_;
    // After a fatal error no close_notify may be sent.
    bool broken_ = false;
    bool timedOut_ = false;
    std::string failure_;
};

} // namespace lumenpost
