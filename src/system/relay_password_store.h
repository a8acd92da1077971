#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace lumenpost {

// A store of secrets by key, answering asynchronously on the thread that asked.
class SecretBackend {
public:
    // The secret, or nothing; `error` is empty when the store answered (found or not).
    using ReadDone = std::function<void(std::optional<QString> secret, const QString& error)>;
    // `error` is empty when the secret was stored.
    using WriteDone = std::function<void(const QString& error)>;

    virtual ~SecretBackend() = default;
    virtual void Read(const QString& key, ReadDone done) = 0;
    virtual void Write(const QString& key, const QString& secret, WriteDone done) = 0;
};

// The desktop's secret store (Secret Service or KWallet, through QtKeychain), entries of
// `service`. Answers arrive through the event loop of the calling thread.
std::unique_ptr<SecretBackend> DesktopSecretBackend(const QString& service);

// The relay host's password, kept in the secret store under "<relayuser>@<relayhost>" of
// the service "lumenpost". Load and Write run on the UI thread; the relay passes read
// what was loaded with Password from their own threads.
class RelayPasswordStore : public QObject {
    Q_OBJECT

public:
    explicit RelayPasswordStore(
        std::unique_ptr<SecretBackend> backend = DesktopSecretBackend(QStringLiteral("lumenpost")));
    ~RelayPasswordStore() override;

    static QString Key(const QString& user, const QString& host);

    // Reads the password of `user` at `host` in the background (nothing to read when either
    // is empty); the one held for another account is forgotten at once, the one of the same
    // account is kept until the answer replaces it (or a failed read leaves it). Only the
    // latest account counts.
    void Load(const QString& user, const QString& host);
    // Stores `password` for `user` at `host` (the settings dialog's call); once stored it
    // is also the password held for them. `written` tells how it went.
    void Write(const QString& user, const QString& host, const QString& password);
    // The password held for `user` at `host`; nothing when it was not found (yet) or the
    // last Load was for another account.
    std::optional<std::string> Password(const std::string& user, const std::string& host) const;

signals:
    // A Load finished; `error` is empty when the store answered (found or not).
    void loaded(const QString& error);
    // A Write finished; `error` says why the password is not stored, empty when it is.
    void written(const QString& error);

private:
    void Hold(const QString& key, const std::optional<QString>& password);

    std::unique_ptr<SecretBackend> backend_;
    mutable std::mutex mutex_;
    QString key_; // the account of the latest Load or Write
    std::optional<std::string> password_;
};

} // namespace lumenpost
