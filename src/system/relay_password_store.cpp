#include "system/relay_password_store.h"

#include <qt6keychain/keychain.h>

namespace lumenpost {
namespace {

// QtKeychain's jobs. Each job is a child of this object and deletes itself once it has
// finished (QtKeychain's auto-delete); jobs still running when the backend goes are
// deleted with it, so no answer can reach a store that is gone.
class KeychainBackend : public QObject, public SecretBackend {
public:
    explicit KeychainBackend(QString service) : service_(std::move(service)) {}

    void Read(const QString& key, ReadDone done) override {
        auto* job = new QKeychain::ReadPasswordJob(service_, this);
        job->setKey(key);
        QObject::connect(job, &QKeychain::Job::finished, this,
                         [job, done = std::move(done)](QKeychain::Job*) {
                             switch (job->error()) {
                             case QKeychain::NoError:
                                 done(job->textData(), {});
                                 break;
                             case QKeychain::EntryNotFound:
                                 done(std::nullopt, {});
                                 break;
                             default:
                                 done(std::nullopt, job->errorString());
                             }
                         });
        job->start();
    }

    void Write(const QString& key, const QString& secret, WriteDone done) override {
        auto* job = new QKeychain::WritePasswordJob(service_, this);
        job->setKey(key);
        job->setTextData(secret);
        QObject::connect(
            job, &QKeychain::Job::finished, this, [job, done = std::move(done)](QKeychain::Job*) {
                done(job->error() == QKeychain::NoError ? QString() : job->errorString());
            });
        job->start();
    }

private:
    const QString service_;
};

} // namespace

std::unique_ptr<SecretBackend> DesktopSecretBackend(const QString& service) {
    return std::make_unique<KeychainBackend>(service);
}

RelayPasswordStore::RelayPasswordStore(std::unique_ptr<SecretBackend> backend)
    : backend_(std::move(backend)) {}

// The backend goes first, and with it every answer still to come.
RelayPasswordStore::~RelayPasswordStore() {
    backend_.reset();
}

QString RelayPasswordStore::Key(const QString& user, const QString& host) {
    return user + u'@' + host;
}

void RelayPasswordStore::Load(const QString& user, const QString& host) {
    const QString key = Key(user, host);
    {
        const std::lock_guard lock(mutex_);
        if (key != key_) {
            key_ = key;
            password_.reset();
        }
    }
    if (user.isEmpty() || host.isEmpty()) {
        return;
    }
    backend_->Read(key, [this, key](std::optional<QString> password, const QString& error) {
        if (error.isEmpty()) {
            Hold(key, password);
        }
        emit loaded(error);
    });
}

void RelayPasswordStore::Write(const QString& user, const QString& host, const QString& password) {
    const QString key = Key(user, host);
    backend_->Write(key, password, [this, key, password](const QString& error) {
        if (error.isEmpty()) {
            const std::lock_guard lock(mutex_);
            key_ = key;
            password_ = password.toStdString();
        }
        emit written(error);
    });
}

// An answer for an account that is no longer the current one is dropped.
void RelayPasswordStore::Hold(const QString& key, const std::optional<QString>& password) {
    const std::lock_guard lock(mutex_);
    if (key == key_) {
        password_ = password ? std::optional(password->toStdString()) : std::nullopt;
    }
}

std::optional<std::string> RelayPasswordStore::Password(const std::string& user,
                                                        const std::string& host) const {
    const QString key = Key(QString::fromStdString(user), QString::fromStdString(host));
    const std::lock_guard lock(mutex_);
    return key == key_ ? password_ : std::nullopt;
}

} // namespace lumenpost
