// The result cache against a private slapd: a repeated search is answered with the same entries
// and values without reaching the server, even once the server is gone; searches the cache does
// not hold, and searches uncached by the DN of an entry, go to the server again.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"

namespace {

constexpr const char *kPeople = "ou=people,o=example";
constexpr const char *kPersons = "(objectClass=inetOrgPerson)";
constexpr const char *kBob = "CN=Bob Baker,ou=People,o=example";

char *text(const char *literal) { return const_cast<char *>(literal); }

// Every entry of a result chain: DN → attribute type → values in the order received.
using Snapshot = std::map<std::string, std::map<std::string, std::vector<std::string>>>;

Snapshot snapshot(LDAP *ld, LDAPMessage *chain) {
    Snapshot entries;
    for (LDAPMessage *entry = ldap_first_entry(ld, chain); entry != nullptr; entry = ldap_next_entry(ld, entry)) {
        char *dn = ldap_get_dn(ld, entry);
        EXPECT_NE(dn, nullptr);
        if (dn == nullptr) continue;
        auto &attributes = entries[dn];
        ld->ld_pool->release(ld->ld_pool, dn, 0, 4);
        BerElement *walk = nullptr;
        for (char *type = ldap_first_attribute(ld, entry, &walk); type != nullptr;
             type = ldap_next_attribute(ld, entry, walk)) {
            const std::string name = type;
            char **values = ldap_get_values(ld, entry, name.c_str());
            for (char **value = values; value != nullptr && *value != nullptr; ++value) attributes[name].emplace_back(*value);
            ldap_value_free(ld->ld_pool, values);
        }
    }
    return entries;
}

class CacheSlapdTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(qortest::module_loaded());
        qorhost_set_encoding(20);
    }

    void SetUp() override { server_ = std::make_unique<qortest::Slapd>(); }

    void TearDown() override {
        if (ld_ != nullptr) {
            ldap_msgfree(ld_->ld_pool, result_);
            ldap_unbind(ld_);
        }
    }

    // An anonymous version-3 session with a cache.
    void open_session() {
        ld_ = ldap_open("127.0.0.1", server_->port());
        ASSERT_NE(ld_, nullptr);
        ld_->ld_protocol_version = 3;
        ld_->ld_timelimit = 10000;
        ASSERT_EQ(ldap_simple_bind_s(ld_, "", ""), LDAP_SUCCESS);
        ASSERT_EQ(ldap_enable_cache(ld_, 60000, 0), 0);
    }

    // Searches the persons; the result code. The chain is kept in result_.
    int32_t search_persons(const char *filter = kPersons) {
        ldap_msgfree(ld_->ld_pool, result_);
        result_ = nullptr;
        char *attrs[] = {text("cn"), text("mail"), text("telephoneNumber"), text("description"), nullptr};
        return ldap_search_s(ld_, kPeople, LDAP_SCOPE_SUBTREE, filter, attrs, 0, &result_);
    }

    std::unique_ptr<qortest::Slapd> server_;
    LDAP *ld_ = nullptr;
    LDAPMessage *result_ = nullptr;
};

TEST_F(CacheSlapdTest, SecondSearchIsAnsweredFromTheCacheWithTheSameEntries) {
    open_session();
    ASSERT_EQ(search_persons(), LDAP_SUCCESS);
    const Snapshot first = snapshot(ld_, result_);
    ASSERT_EQ(first.size(), 6u);
    EXPECT_EQ(first.at("cn=Bob Baker,ou=people,o=example").at("mail"), std::vector<std::string>{"bob@example.org"});

    char *attrs[] = {text("cn"), text("mail"), text("telephoneNumber"), text("description"), nullptr};
    const int32_t id = ldap_search(ld_, kPeople, LDAP_SCOPE_SUBTREE, kPersons, attrs, 0);
    ASSERT_NE(id, -1);
    EXPECT_EQ(ld_->ld_pending_requests, nullptr) << "the repetition was sent";
    ldap_msgfree(ld_->ld_pool, result_);
    result_ = nullptr;
    ASSERT_EQ(ldap_result(ld_, id, 1, 0, &result_), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(result_->lm_id, id);
    EXPECT_EQ(ldap_result2error(ld_, result_, 0), LDAP_SUCCESS);
    EXPECT_EQ(snapshot(ld_, result_), first);
}

TEST_F(CacheSlapdTest, CacheAnswersOnceTheServerIsGoneUntilTheSearchIsUncached) {
    open_session();
    ASSERT_EQ(search_persons(), LDAP_SUCCESS);
    const Snapshot first = snapshot(ld_, result_);
    ASSERT_FALSE(first.empty());

    server_->stop();
    ASSERT_EQ(search_persons(), LDAP_SUCCESS);
    EXPECT_EQ(snapshot(ld_, result_), first);
    // What the cache does not hold needs the server.
    EXPECT_NE(search_persons("(objectClass=person)"), LDAP_SUCCESS);

    // Bob is one of the entries the search returned: the whole search leaves the cache.
    ldap_uncache_entry(ld_, kBob);
    EXPECT_NE(search_persons(), LDAP_SUCCESS);
    EXPECT_EQ(result_, nullptr);
}

}  // namespace
