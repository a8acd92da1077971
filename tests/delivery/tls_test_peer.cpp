#include "tls_test_peer.h"

#include "delivery/tls_session.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

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

struct ExtensionFree {
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};

constexpr long kCertificateLifeSeconds = 24 * 60 * 60;

// A certificate of `key` named `commonName`, not yet signed.
std::unique_ptr<X509, CertificateFree> Unsigned(EVP_PKEY* key, const std::string& commonName,
                                                long serial) {
    std::unique_ptr<X509, CertificateFree> certificate(X509_new());
    X509_set_version(certificate.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kCertificateLifeSeconds);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    return certificate;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX v3{};
    X509V3_set_ctx(&v3, issuer, certificate, nullptr, nullptr, 0);
    const std::unique_ptr<X509_EXTENSION, ExtensionFree> extension(
        X509V3_EXT_conf_nid(nullptr, &v3, nid, value.c_str()));
    if (extension) {
        X509_add_ext(certificate, extension.get(), -1);
    }
}

std::unique_ptr<X509, CertificateFree> SelfSigned(EVP_PKEY* key, const std::string& commonName,
                                                  bool authority) {
    std::unique_ptr<X509, CertificateFree> certificate = Unsigned(key, commonName, 1);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
    if (authority) {
        AddExtension(certificate.get(), certificate.get(), NID_basic_constraints,
                     "critical,CA:TRUE");
        AddExtension(certificate.get(), certificate.get(), NID_key_usage,
                     "critical,keyCertSign,cRLSign");
    }
    X509_sign(certificate.get(), key, EVP_sha256());
    return certificate;
}

std::unique_ptr<SSL_CTX, ContextFree> ContextWith(X509* certificate, EVP_PKEY* key) {
    std::unique_ptr<SSL_CTX, ContextFree> context(SSL_CTX_new(TLS_server_method()));
    if (!context || SSL_CTX_use_certificate(context.get(), certificate) != 1 ||
        SSL_CTX_use_PrivateKey(context.get(), key) != 1) {
        return nullptr;
    }
    return context;
}

std::unique_ptr<SSL_CTX, ContextFree> MakeServerContext() {
    const std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
    const std::unique_ptr<X509, CertificateFree> certificate =
        SelfSigned(key.get(), "fake.example", false);
    return ContextWith(certificate.get(), key.get());
}

// The test CA: its key and certificate, and the certificate as a PEM file.
class TestCa {
public:
    TestCa()
        : key_(EVP_EC_gen("P-256")),
          certificate_(SelfSigned(key_.get(), "Lumenpost Test CA", true)) {
        char path[] = "/tmp/lumenpost-test-ca-XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0) {
            return;
        }
        close(fd);
        if (FILE* file = std::fopen(path, "w")) {
            PEM_write_X509(file, certificate_.get());
            std::fclose(file);
            file_ = path;
        }
    }
    ~TestCa() {
        if (!file_.empty()) {
            unlink(file_.c_str());
        }
    }
    TestCa(const TestCa&) = delete;
    TestCa& operator=(const TestCa&) = delete;

    const std::string& File() const { return file_; }

    // A server context with a certificate for `name`, signed by this CA.
    std::unique_ptr<SSL_CTX, ContextFree> ServerContext(const std::string& name) const {
        const std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
        const std::unique_ptr<X509, CertificateFree> certificate = Unsigned(key.get(), name, 2);
        X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate_.get()));
        const bool address = name.find_first_not_of("0123456789.:") == std::string::npos;
        AddExtension(certificate.get(), certificate_.get(), NID_subject_alt_name,
                     (address ? "IP:" : "DNS:") + name);
        X509_sign(certificate.get(), key_.get(), EVP_sha256());
        return ContextWith(certificate.get(), key.get());
    }

private:
    std::unique_ptr<EVP_PKEY, KeyFree> key_;
    std::unique_ptr<X509, CertificateFree> certificate_;
    std::string file_;
};

const TestCa& TheTestCa() {
    static const TestCa ca;
    return ca;
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

SSL_CTX* CaSignedServerContext(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<SSL_CTX, ContextFree>> contexts;
    const std::lock_guard lock(mutex);
    auto& context = contexts[name];
    if (!context) {
        context = TheTestCa().ServerContext(name);
    }
    return context.get();
}

const std::string& TestCaFile() {
    return TheTestCa().File();
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

bool PeerChannel::Encrypt(SSL_CTX* context) {
    pending_.clear();
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
