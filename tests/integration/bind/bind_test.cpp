// Simple binds against a real slapd, in both protocol versions, and the anonymous bind the
// engine makes when it follows a real slapd's referral to a second server.
#include <gtest/gtest.h>

#include <string>

#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"

namespace {

class SlapdBindTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new qortest::Slapd(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(qortest::module_loaded());
        pools_ = qorhost_live_pools();
    }
    void TearDown() override { EXPECT_EQ(qorhost_live_pools(), pools_); }

    // A session to the server announcing `version`, with a bounded wait.
    static LDAP *session(int version, std::uint16_t port = server_->port()) {
        LDAP *ld = ldap_open("127.0.0.1", port);
        EXPECT_NE(ld, nullptr);
        if (ld != nullptr) {
            ld->ld_protocol_version = version;
            ld->ld_timelimit = 10000;
        }
        return ld;
    }

    static qortest::Slapd *server_;
    long pools_ = 0;
};

qortest::Slapd *SlapdBindTest::server_ = nullptr;

TEST_F(SlapdBindTest, VersionThreeAnonymousAndAuthenticated) {
    LDAP *ld = session(3);
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(ldap_simple_bind_s(ld, nullptr, nullptr), 0);
    EXPECT_EQ(ldap_simple_bind_s(ld, "cn=admin,o=example", "secret"), 0);
    EXPECT_EQ(ldap_simple_bind_s(ld, "cn=Alice Archer,ou=people,o=example", "alice-pw"), 0);
    EXPECT_EQ(ld->ld_errno, 0);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    EXPECT_EQ(ldap_unbind(ld), 0);
}

TEST_F(SlapdBindTest, VersionTwoAnonymousAndAuthenticated) {
    LDAP *ld = session(2);
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(ldap_simple_bind_s(ld, "", ""), 0);
    EXPECT_EQ(ldap_bind_s(ld, "cn=admin,o=example", "secret", LDAP_AUTH_SIMPLE), 0);
    EXPECT_EQ(ldap_unbind(ld), 0);
}

TEST_F(SlapdBindTest, WrongPasswordGivesInvalidCredentials) {
    for (int version : {3, 2}) {
        LDAP *ld = session(version);
        ASSERT_NE(ld, nullptr);
        EXPECT_EQ(ldap_simple_bind_s(ld, "cn=admin,o=example", "wrong"), 49) << "version " << version;
        EXPECT_EQ(ld->ld_errno, 49);
        EXPECT_STREQ(ldap_err2string(ld->ld_errno), "Invalid credentials");
        // The session stays usable after the refusal.
        EXPECT_EQ(ldap_simple_bind_s(ld, "cn=admin,o=example", "secret"), 0) << "version " << version;
        EXPECT_EQ(ldap_unbind(ld), 0);
    }
}

TEST_F(SlapdBindTest, AsynchronousBindsAreAnsweredById) {
    LDAP *ld = session(3);
    ASSERT_NE(ld, nullptr);
    int32_t first = ldap_simple_bind(ld, "cn=admin,o=example", "wrong");
    ASSERT_EQ(first, 1);
    LDAPMessage *result = nullptr;
    ASSERT_EQ(ldap_result(ld, first, 1, 0, &result), LDAP_RES_BIND);
    EXPECT_EQ(ldap_result2error(ld, result, 1), 49);
    int32_t second = ldap_bind(ld, "cn=admin,o=example", "secret", LDAP_AUTH_SIMPLE);
    ASSERT_EQ(second, 2);
    ASSERT_EQ(ldap_result(ld, second, 1, 0, &result), LDAP_RES_BIND);
    EXPECT_EQ(ldap_result2error(ld, result, 1), 0);
    EXPECT_EQ(ldap_unbind(ld), 0);
}

// A search request as the search operation will encode it (present filter "objectclass").
int32_t send_search(LDAP *ld, const char *base) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) return -1;
    int32_t id = ++ld->ld_last_msgid;
    if (berprnt(ber, "{it{seeiibts{v}}}", id, LDAP_REQ_SEARCH, base, LDAP_SCOPE_SUBTREE, 0, 0, 0, 0, 0x87,
                "objectclass", static_cast<char **>(nullptr)) == -1) {
        berfree(ber, 1);
        return -1;
    }
    return send_initial_request(ld, LDAP_REQ_SEARCH, base, ber);
}

TEST(SlapdReferral, VersionTwoReferralIsFollowedWithAnAnonymousBind) {
    ASSERT_TRUE(qortest::module_loaded());
    qortest::Slapd other(qortest::other_directory_options());
    qortest::SlapdOptions referring;
    referring.referral = other.url();
    qortest::Slapd first(referring);

    LDAP *ld = ldap_open("127.0.0.1", first.port());
    ASSERT_NE(ld, nullptr);
    ld->ld_timelimit = 10000;
    ASSERT_EQ(ldap_simple_bind_s(ld, "cn=admin,o=example", "secret"), 0);
    // The server refers with "ldap://127.0.0.1:PORT/o=other??sub": the DN ends at the "?".
    int32_t id = send_search(ld, "o=other");
    ASSERT_GT(id, 0);
    LDAPMessage *chain = nullptr;
    ASSERT_EQ(ldap_result(ld, id, 1, 0, &chain), LDAP_RES_SEARCH_RESULT) << "ld_errno " << ld->ld_errno;
    EXPECT_EQ(ldap_count_entries(ld, chain), 5);
    char *dn = ldap_get_dn(ld, ldap_first_entry(ld, chain));
    ASSERT_NE(dn, nullptr);
    EXPECT_STREQ(dn, "o=other");
    ld->ld_pool->release(ld->ld_pool, dn, 0, 4);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 0);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    EXPECT_EQ(ld->ld_connections->cn_next, nullptr) << "the referral connection is released";
    EXPECT_EQ(ldap_unbind(ld), 0);
}

}  // namespace
