#include "system/relay_password_store.h"

#include <gtest/gtest.h>
#include <vector>

namespace lumenpost {
namespace {

// Keeps each request until the test answers it, as a store that answers later would.
struct FakeSecrets : SecretBackend {
    struct Request {
        QString key;
        QString secret; // what a write stores
        ReadDone read;
        WriteDone write;
    };

    void Read(const QString& key, ReadDone done) override {
        requests->push_back({key, {}, std::move(done), {}});
    }
    void Write(const QString& key, const QString& secret, WriteDone done) override {
        requests->push_back({key, secret, {}, std::move(done)});
    }

    std::shared_ptr<std::vector<Request>> requests = std::make_shared<std::vector<Request>>();
};

class RelayPasswordStoreTest : public ::testing::Test {
protected:
    RelayPasswordStoreTest() {
        auto backend = std::make_unique<FakeSecrets>();
        requests_ = backend->requests;
        store_ = std::make_unique<RelayPasswordStore>(std::move(backend));
        QObject::connect(store_.get(), &RelayPasswordStore::loaded,
                         [this](const QString& error) { loaded_.push_back(error); });
        QObject::connect(store_.get(), &RelayPasswordStore::written,
                         [this](const QString& error) { written_.push_back(error); });
    }

    std::optional<std::string> Held(const char* user = "alice", const char* host = "smtp.test") {
        return store_->Password(user, host);
    }

    std::shared_ptr<std::vector<FakeSecrets::Request>> requests_;
    std::unique_ptr<RelayPasswordStore> store_;
    std::vector<QString> loaded_;
    std::vector<QString> written_;
};

TEST_F(RelayPasswordStoreTest, ReadUnderUserAtHostAndHeldOnlyForThatAccount) {
    store_->Load("alice", "smtp.test:465");
    ASSERT_EQ(requests_->size(), 1U);
    EXPECT_EQ((*requests_)[0].key, "alice@smtp.test:465");
    EXPECT_EQ(Held("alice", "smtp.test:465"), std::nullopt); // not answered yet
    (*requests_)[0].read(QStringLiteral("pw"), {});
    EXPECT_EQ(Held("alice", "smtp.test:465"), "pw");
    EXPECT_EQ(Held("alice", "smtp.test"), std::nullopt);
    EXPECT_EQ(Held("bob", "smtp.test:465"), std::nullopt);
    EXPECT_EQ(loaded_, std::vector<QString>{QString()});
}

TEST_F(RelayPasswordStoreTest, LateAnswerForAnEarlierAccountIsDropped) {
    store_->Load("alice", "smtp.test");
    store_->Load("bob", "smtp.test");
    (*requests_)[1].read(QStringLiteral("bob's"), {});
    (*requests_)[0].read(QStringLiteral("alice's"), {});
    EXPECT_EQ(Held("bob"), "bob's");
    EXPECT_EQ(Held("alice"), std::nullopt);
}

TEST_F(RelayPasswordStoreTest, RereadKeepsThePasswordUntilTheStoreSaysOtherwise) {
    store_->Load("alice", "smtp.test");
    (*requests_)[0].read(QStringLiteral("pw"), {});
    store_->Load("alice", "smtp.test"); // another setting changed
    EXPECT_EQ(Held(), "pw");
    (*requests_)[1].read(std::nullopt, QStringLiteral("no secret service on the bus"));
    EXPECT_EQ(Held(), "pw");
    EXPECT_EQ(loaded_.back(), "no secret service on the bus");
    store_->Load("alice", "smtp.test");
    (*requests_)[2].read(std::nullopt, {}); // removed from the store meanwhile
    EXPECT_EQ(Held(), std::nullopt);
}

TEST_F(RelayPasswordStoreTest, NothingIsReadWithoutUserOrHost) {
    store_->Load("", "smtp.test");
    store_->Load("alice", "");
    EXPECT_TRUE(requests_->empty());
}

TEST_F(RelayPasswordStoreTest, WrittenPasswordIsHeldOnceStored) {
    store_->Write("alice", "smtp.test", "new");
    ASSERT_EQ(requests_->size(), 1U);
    EXPECT_EQ((*requests_)[0].key, "alice@smtp.test");
    EXPECT_EQ((*requests_)[0].secret, "new");
    EXPECT_EQ(Held(), std::nullopt);
    (*requests_)[0].write({});
    EXPECT_EQ(Held(), "new");

    store_->Write("alice", "smtp.test", "newer");
    (*requests_)[1].write(QStringLiteral("access denied"));
    EXPECT_EQ(Held(), "new");
    EXPECT_EQ(written_, (std::vector<QString>{QString(), QStringLiteral("access denied")}));
}

} // namespace
} // namespace lumenpost
