#include "delivery/tls_session.h"

#include "delivery/blocking_socket.h"
#include "delivery/socket_address.h"
#include "platform/socket_error.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>

namespace lumenpost {

namespace {

struct ContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

std::unique_ptr<SSL_CTX, ContextFree> MakeClientContext() {
    std::unique_ptr<SSL_CTX, ContextFree> context(SSL_CTX_new(TLS_client_method()));
    if (context) {
        // Opportunistic: an unverified channel still beats clear text, and a failing
        // check would only send the message in clear.
        SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
        // A write returns after each record, so a time-out loses no more than one.
        SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
    }
    return context;
}

// One context for the process; its creation is thread-safe as a static's.
SSL_CTX* ClientContext() {
    static const std::unique_ptr<SSL_CTX, ContextFree> context = MakeClientContext();
    return context.get();
}

std::unique_ptr<SSL_CTX, ContextFree> MakeVerifyingContext(const std::string& caFile) {
    std::unique_ptr<SSL_CTX, ContextFree> context(SSL_CTX_new(TLS_client_method()));
    if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_default_verify_paths(context.get()) != 1) {
        return nullptr;
    }
    if (!caFile.empty() &&
        SSL_CTX_load_verify_locations(context.get(), caFile.c_str(), nullptr) != 1) {
        return nullptr;
    }
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
    return context;
}

// One verifying context per CA file, kept for the process: loading the system's store
// for every connection would read it again and again. Null when it cannot be set up.
SSL_CTX* VerifyingContext(const std::string& caFile) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<SSL_CTX, ContextFree>> contexts;
    const std::lock_guard lock(mutex);
    auto known = contexts.find(caFile);
    if (known == contexts.end()) {
        auto context = MakeVerifyingContext(caFile);
        if (!context) {
            return nullptr;
        }
        known = contexts.emplace(caFile, std::move(context)).first;
    }
    return known->second.get();
}

std::string WithoutFinalDot(std::string name) {
    if (name.ends_with('.')) {
        name.pop_back();
    }
    return name;
}

// The name as SNI carries it; empty for addresses, which SNI must not carry.
std::string SniName(std::string name) {
    name = WithoutFinalDot(std::move(name));
    if (name.empty() || name.front() == '[' || SocketAddress::FromText(name, 0)) {
        return {};
    }
    return name;
}

std::string ErrnoText(int err) {
    char buffer[256];
    return strerror_r(err, buffer, sizeof buffer);
}

// Why an operation failed: OpenSSL's reason when it queued one.
std::string FailureText(int sslError, int err) {
    if (const unsigned long code = ERR_peek_last_error()) {
        if (const char* reason = ERR_reason_error_string(code)) {
            return reason;
        }
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        return buffer;
    }
    if (sslError == SSL_ERROR_ZERO_RETURN || (sslError == SSL_ERROR_SYSCALL && err == 0)) {
        return "connection closed by the peer";
    }
    if (sslError == SSL_ERROR_SYSCALL) {
        return ErrnoText(err);
    }
    return "TLS error " + std::to_string(sslError);
}

int RemainingMs(std::chrono::steady_clock::time_point start, int timeoutMs) {
    if (timeoutMs < 0) {
        return -1;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    return elapsed >= timeoutMs ? 0 : timeoutMs - static_cast<int>(elapsed);
}

} // namespace

namespace {

sigset_t PipeSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

bool PipeSignalPending() {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

} // namespace

SigpipeGuard::SigpipeGuard() : pendingBefore_(PipeSignalPending()) {
    const sigset_t pipe = PipeSignal();
    pthread_sigmask(SIG_BLOCK, &pipe, &previous_);
}

SigpipeGuard::~SigpipeGuard() {
    if (!pendingBefore_ && PipeSignalPending()) {
        const sigset_t pipe = PipeSignal();
        const timespec now{};
        sigtimedwait(&pipe, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void TlsSession::SslFree::operator()(SSL* ssl) const {
    SSL_free(ssl);
}

TlsSession::TlsSession(int fd, const TlsTrust& trust)
    : fd_(fd), savedFlags_(fcntl(fd, F_GETFL)), verify_(trust.verify) {
    if (savedFlags_ >= 0) {
        fcntl(fd_, F_SETFL, savedFlags_ | O_NONBLOCK);
    }
    if (SSL_CTX* context = verify_ ? VerifyingContext(trust.caFile) : ClientContext()) {
        ssl_.reset(SSL_new(context));
    } else if (verify_) {
        failure_ = "cannot load the trusted CA certificates (the system's" +
                   (trust.caFile.empty() ? std::string() : " and " + trust.caFile) + ")";
    }
    if (ssl_ && SSL_set_fd(ssl_.get(), fd_) != 1) {
        ssl_.reset();
    }
}

TlsSession::~TlsSession() {
    ssl_.reset();
    if (savedFlags_ >= 0) {
        fcntl(fd_, F_SETFL, savedFlags_);
    }
}

// Repeats `operation` (an SSL call, positive on success) while OpenSSL wants the socket
// readable or writable, waiting for that within what is left of `timeoutMs`.
template <typename Operation>
TlsSession::Step TlsSession::Drive(Operation operation, int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int result = 0;
        int err = 0;
        {
            const SigpipeGuard guard;
            result = operation();
            err = errno;
        }
        if (result > 0) {
            return Step::done;
        }
        const int sslError = SSL_get_error(ssl_.get(), result);
        if (sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE) {
            broken_ = sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_SSL;
            failure_ = FailureText(sslError, err);
            return sslError == SSL_ERROR_ZERO_RETURN ? Step::closed : Step::failed;
        }
        const short events = sslError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        pollfd entry{fd_, events, 0};
        const int wait = RemainingMs(start, timeoutMs);
        if (wait == 0 || PollWithin(entry, wait) == 0) {
            timedOut_ = true;
            return Step::timedOut;
        }
    }
}

bool TlsSession::Handshake(const std::string& serverName, int timeoutMs) {
    timedOut_ = false;
    if (!ssl_) {
        if (failure_.empty()) {
            failure_ = "cannot set up TLS: " + FailureText(SSL_ERROR_SSL, 0);
        }
        return false;
    }
    const std::string sni = SniName(serverName);
    if (!sni.empty() && SSL_set_tlsext_host_name(ssl_.get(), sni.c_str()) != 1) {
        failure_ = "cannot name " + sni + " in TLS";
        return false;
    }
    if (verify_ && !RequireName(WithoutFinalDot(serverName))) {
        failure_ = "cannot check the certificate for the name " + serverName;
        return false;
    }
    const Step step = Drive([this] { return SSL_connect(ssl_.get()); }, timeoutMs);
    if (step == Step::timedOut) {
        // Half a handshake cannot be closed cleanly.
        broken_ = true;
        failure_ = "no answer in time";
    } else if (step != Step::done && verify_) {
        ExplainVerification();
    }
    return step == Step::done;
}

// The certificate must name `name`: an address among its IP addresses, a host name among
// its DNS names (a wildcard only for a whole leftmost label).
bool TlsSession::RequireName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    X509_VERIFY_PARAM* parameters = SSL_get0_param(ssl_.get());
    if (SocketAddress::FromText(name, 0)) {
        return X509_VERIFY_PARAM_set1_ip_asc(parameters, name.c_str()) == 1;
    }
    X509_VERIFY_PARAM_set_hostflags(parameters, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set1_host(ssl_.get(), name.c_str()) == 1;
}

// A certificate that failed the check says why ("hostname mismatch", "unable to get local
// issuer certificate"), which tells more than the handshake's own error.
void TlsSession::ExplainVerification() {
    const long result = SSL_get_verify_result(ssl_.get());
    if (result != X509_V_OK) {
        failure_ = std::string("the server's certificate is not trusted: ") +
                   X509_verify_cert_error_string(result);
    }
}

TlsTransfer TlsSession::Transfer(Step step, std::size_t moved, int timeoutError) const {
    switch (step) {
    case Step::done:
        return {static_cast<int>(moved), 0};
    case Step::timedOut:
        return {-1, timeoutError};
    default:
        return {-1, socket_error::kConnectionReset};
    }
}

TlsTransfer TlsSession::Read(char* buffer, int count, int timeoutMs) {
    std::size_t read = 0;
    const auto size = static_cast<std::size_t>(count);
    const Step step =
        Drive([&] { return SSL_read_ex(ssl_.get(), buffer, size, &read); }, timeoutMs);
    return Transfer(step, read, socket_error::kTimedOut);
}

TlsTransfer TlsSession::Write(const char* buffer, int count, int timeoutMs) {
    std::size_t written = 0;
    const auto size = static_cast<std::size_t>(count);
    const Step step =
        Drive([&] { return SSL_write_ex(ssl_.get(), buffer, size, &written); }, timeoutMs);
    if (step == Step::timedOut) {
        // The record half sent must be finished with the same octets; nothing else may
        // follow it on this connection.
        broken_ = true;
    }
    return Transfer(step, written, socket_error::kWouldBlock);
}

void TlsSession::Close(int timeoutMs) {
    if (!ssl_ || broken_) {
        return;
    }
    // 0 (close_notify sent, the peer's not yet seen) is all that is needed before closing.
    Drive([this] { return SSL_shutdown(ssl_.get()) >= 0 ? 1 : -1; }, timeoutMs);
    broken_ = true;
}

std::string TlsSession::Description() const {
    if (!ssl_) {
        return {};
    }
    return std::string(SSL_get_version(ssl_.get())) + " " + SSL_get_cipher_name(ssl_.get());
}

} // namespace lumenpost
