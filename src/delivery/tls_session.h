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

// Whom a TLS client trusts. Without verification any certificate is taken (opportunistic
// encryption). With it the certificate must chain to a CA of the system's store (or of
// `caFile`) and name the server: a host name through its DNS names, an address through
// its IP addresses.
struct TlsTrust {
    bool verify = false;
    std::string caFile; // PEM certificates trusted beside the system's; empty: none
};

// The client side of TLS on a connected TCP socket. The socket is non-blocking while the
// session lives, so every step can be bounded; its flags are restored afterwards.
class TlsSession {
public:
    TlsSession(int fd, const TlsTrust& trust);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // The handshake within `timeoutMs` (negative: no limit), naming `serverName` (SNI)
    // unless it is an address or an address literal; with verification the certificate
    // must name it. On failure Failure() says why and TimedOut() whether the time ran out.
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
    bool RequireName(const std::string& name);
    void ExplainVerification();

    int fd_;
    int savedFlags_;
    std::unique_ptr<SSL, SslFree> ssl_;
    bool verify_;
    // After a fatal error no close_notify may be sent.
    bool broken_ = false;
    bool timedOut_ = false;
    std::string failure_;
};

} // namespace lumenpost
