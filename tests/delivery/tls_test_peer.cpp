#include "tls_test_peer.h"

#include "delivery/tls_session.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/time.h>

namespace lumenpost::test {

namespace {

struct ContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

constexpr long kCertificateLifeSeconds = 24 * 60 * 60;

std::unique_ptr<X509, CertificateFree> SelfSigned(EVP_PKEY* key) {
    std::unique_ptr<X509, CertificateFree> certificate(X509_new());
    X509_set_version(certificate.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kCertificateLifeSeconds);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    const std::string commonName = "fake.example";
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(certificate.get(), name);
    X509_sign(certificate.get(), key, EVP_sha256());
    return certificate;
}

std::unique_ptr<SSL_CTX, ContextFree> MakeServerContext() {
    std::unique_ptr<SSL_CTX, ContextFree> context(SSL_CTX_new(TLS_server_method()));
    const std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
    const std::unique_ptr<X509, CertificateFree> certificate = SelfSigned(key.get());
    if (SSL_CTX_use_certificate(context.get(), certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1) {
        return nullptr;
    }
    return context;
}

void LimitWaits(int fd) {
    const timeval limit{kPeerWaitMs / 1000, (kPeerWaitMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

} // namespace

void SslFree::operator()(SSL* ssl) const {
    SSL_free(ssl);
}

SSL_CTX* TestServerContext() {
    static const std::unique_ptr<SSL_CTX, ContextFree> context = MakeServerContext();
    return context.get();
}

PeerChannel::PeerChannel(Descriptor fd) : fd_(std::move(fd)) {
    if (Valid()) {
        LimitWaits(fd_.Get());
    }
}

bool PeerChannel::Send(const std::string& text) {
    if (!ssl_) {
        return SendAll(fd_.Get(), text);
    }
    std::size_t written = 0;
    const SigpipeGuard guard;
    return text.empty() || SSL_write_ex(ssl_.get(), text.data(), text.size(), &written) == 1;
}

bool PeerChannel::ReceiveMore() {
    char buffer[16 * 1024];
    std::size_t received = 0;
    if (ssl_) {
        const SigpipeGuard guard;
        if (SSL_read_ex(ssl_.get(), buffer, sizeof buffer, &received) != 1) {
            return false;
        }
    } else {
        // Never past a line end: what follows a line in clear (a client's TLS hello right
        // behind its STARTTLS) must stay in the socket for the handshake.
        const auto peeked = recv(fd_.Get(), buffer, sizeof buffer, MSG_PEEK);
        if (peeked <= 0) {
            return false;
        }
        const std::string_view seen(buffer, static_cast<std::size_t>(peeked));
        const std::size_t lineEnd = seen.find('\n');
        const std::size_t wanted = lineEnd == std::string_view::npos ? seen.size() : lineEnd + 1;
        const auto count = recv(fd_.Get(), buffer, wanted, 0);
        if (count <= 0) {
            return false;
        }
        received = static_cast<std::size_t>(count);
    }
    pending_.append(buffer, received);
    return true;
}

bool PeerChannel::ReceiveLine(std::string& line) {
    for (;;) {
        const std::size_t end = pending_.find("\r\n");
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            pending_.erase(0, end + 2);
            return true;
        }
        if (!ReceiveMore()) {
            return false;
        }
    }
}

bool PeerChannel::Encrypt() {
    pending_.clear();
    SSL_CTX* context = TestServerContext();
    if (context == nullptr) {
        return false;
    }
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(context));
    const SigpipeGuard guard;
    if (!ssl || SSL_set_fd(ssl.get(), fd_.Get()) != 1 || SSL_accept(ssl.get()) != 1) {
        return false;
    }
    ssl_ = std::move(ssl);
    return true;
}

std::string PeerChannel::ServerName() const {
    const char* name = ssl_ ? SSL_get_servername(ssl_.get(), TLSEXT_NAMETYPE_host_name) : nullptr;
    return name ? name : "";
}

} // namespace lumenpost::test
