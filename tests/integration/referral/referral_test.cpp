// A version-2 session searches a slapd that refers everything outside its suffix to a second
// slapd. The search comes back with the second server's entries through a chased child request;
// the second server sees an anonymous bind, the search and an unbind on a connection that is
// closed once the search is complete (counted by its monitor database).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

char *text(const char *literal) { return const_cast<char *>(literal); }

class ReferralTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(qortest::module_loaded());
        qortest::SlapdOptions other = qortest::other_directory_options();
        other.extra_database_config = {"database monitor", "access to dn.subtree=\"cn=Monitor\" by * read"};
        other_ = std::make_unique<qortest::Slapd>(other);
        qortest::SlapdOptions referring;
        referring.referral = other_->url();
        referring_ = std::make_unique<qortest::Slapd>(referring);
    }

    static void TearDownTestSuite() {
        referring_.reset();
        other_.reset();
    }

    void TearDown() override {
        if (ld_ != nullptr) ldap_unbind(ld_);
    }

    // The DNs of a result chain, sorted.
    static Strings dns(LDAP *ld, LDAPMessage *chain) {
        Strings out;
        for (LDAPMessage *entry = ldap_first_entry(ld, chain); entry != nullptr; entry = ldap_next_entry(ld, entry)) {
            char *dn = ldap_get_dn(ld, entry);
            out.push_back(dn != nullptr ? dn : "<no dn>");
            if (dn != nullptr) ld->ld_pool->release(ld->ld_pool, dn, 0, 4);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    // Completed operations of one kind ("Bind", "Unbind", ...) on the second server, or -1.
    static long completed_on_other(const char *operation) {
        LDAP *ld = ldap_open("127.0.0.1", other_->port());
        if (ld == nullptr) return -1;
        ld->ld_timelimit = 5000;
        const std::string base = std::string("cn=") + operation + ",cn=Operations,cn=Monitor";
        char *attrs[] = {text("monitorOpCompleted"), nullptr};
        LDAPMessage *result = nullptr;
        long count = -1;
        if (ldap_search_s(ld, base.c_str(), LDAP_SCOPE_BASE, "(objectclass=*)", attrs, 0, &result) == LDAP_SUCCESS) {
            char **values = ldap_get_values(ld, ldap_first_entry(ld, result), "monitorOpCompleted");
            if (values != nullptr && values[0] != nullptr) count = std::stol(values[0]);
            ldap_value_free(ld->ld_pool, values);
        }
        ldap_msgfree(ld->ld_pool, result);
        ldap_ld_free(ld, 0);  // without an unbind, which would count itself
        return count;
    }

    // Waits up to two seconds for the second server to have completed `expected` operations.
    static long await_completed(const char *operation, long expected) {
        long count = completed_on_other(operation);
        for (auto deadline = std::chrono::steady_clock::now() + 2s;
             count != expected && std::chrono::steady_clock::now() < deadline; count = completed_on_other(operation)) {
            std::this_thread::sleep_for(20ms);
        }
        return count;
    }

    static std::unique_ptr<qortest::Slapd> other_;
    static std::unique_ptr<qortest::Slapd> referring_;
    LDAP *ld_ = nullptr;
};

std::unique_ptr<qortest::Slapd> ReferralTest::other_;
std::unique_ptr<qortest::Slapd> ReferralTest::referring_;

TEST_F(ReferralTest, VersionTwoSearchGetsTheReferredServersEntries) {
    ld_ = ldap_open("127.0.0.1", referring_->port());
    ASSERT_NE(ld_, nullptr);
    ld_->ld_protocol_version = 2;
    ld_->ld_timelimit = 10000;
    ASSERT_EQ(ldap_simple_bind_s(ld_, referring_->admin_dn().c_str(), qortest::Slapd::admin_password), LDAP_SUCCESS);
    ASSERT_EQ(completed_on_other("Bind"), 0);

    LDAPMessage *result = nullptr;
    ASSERT_EQ(ldap_search_s(ld_, "o=other", LDAP_SCOPE_SUBTREE, "(objectclass=*)", nullptr, 0, &result), LDAP_SUCCESS);
    EXPECT_EQ(dns(ld_, result), (Strings{"cn=Olga Other,ou=people,o=other", "cn=olga-desk,ou=subscribers,o=other",
                                         "o=other", "ou=people,o=other", "ou=subscribers,o=other"}));
    ldap_msgfree(ld_->ld_pool, result);

    // The child connection is gone; only the session's own connection remains, with its one use.
    ASSERT_NE(ld_->ld_connections, nullptr);
    EXPECT_EQ(ld_->ld_connections->cn_next, nullptr);
    EXPECT_EQ(ld_->ld_connections, ld_->ld_default_conn);
    EXPECT_EQ(ld_->ld_default_conn->cn_use_count, 1);
    EXPECT_EQ(ld_->ld_pending_requests, nullptr);
    EXPECT_EQ(await_completed("Bind", 1), 1);
    EXPECT_EQ(await_completed("Unbind", 1), 1);

    // The filter survives the re-encoding for the referred server.
    result = nullptr;
    ASSERT_EQ(ldap_search_s(ld_, "o=other", LDAP_SCOPE_SUBTREE, "(|(cn=Olga*)(&(cn=*desk)(qorInterface=phone)))",
                            nullptr, 0, &result),
              LDAP_SUCCESS);
    EXPECT_EQ(dns(ld_, result), (Strings{"cn=Olga Other,ou=people,o=other", "cn=olga-desk,ou=subscribers,o=other"}));
    ldap_msgfree(ld_->ld_pool, result);
    EXPECT_EQ(await_completed("Bind", 2), 2);
    EXPECT_EQ(await_completed("Unbind", 2), 2);
}

}  // namespace
