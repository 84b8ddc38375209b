// Lookups that time out abandon their requests. Once the late answer to such a request has come
// and been dropped, the session keeps nothing of it: a session that outlives many slow answers
// does not grow.
#include <gtest/gtest.h>

#include <cstdlib>

#include "module/client/client.h"
#include "qorldap/qorldap.hpp"
#include "tests/support/fake_ldap_server.h"
#include "tests/support/ldap_messages.h"
#include "tests/support/runtime.h"

namespace {

namespace ldap = qortest::ldap;

TEST(AbandonedLookups, LateAnswersLeaveThePoolAsItWas) {
    ASSERT_TRUE(qortest::module_loaded());
    for (const char *name : {"LDAP_BINDDN", "LDAP_BINDPW"}) {
        unsetenv(name);
        qorhost_set_option(name, nullptr);
    }
    constexpr int kRounds = 3;
    qortest::FakeLdapServer server;
    server.accept().answer_bind(0);
    for (int round = 0; round < kRounds; ++round) {
        // A search answered only after the client has given up on it, then one answered at once.
        const std::int64_t late = 2 + 3 * round;
        server.expect_request(ldap::op::search_request, late)
            .expect(ldap::abandon_request(late + 1, late))
            .reply(ldap::search_done(late, 0))
            .expect_request(ldap::op::search_request, late + 2)
            .reply(ldap::search_done(late + 2, 0));
    }
    server.start();

    qorldap::Directory ds{qortest::vector(QORLDAP_MODULE)};
    LDAP *ld = nullptr;
    ASSERT_EQ(ds.dsopen(&ld, "127.0.0.1", server.port(), 0, "o=x", nullptr, nullptr), DS_OK);
    ds.dsopt(ld, 1, -1, -1, nullptr);
    long bytes[kRounds] = {};
    for (long &after : bytes) {
        dsent **set = nullptr;
        EXPECT_EQ(ds.dsrslvdn(ld, "cn=slow,o=x", nullptr, &set), DS_STATUS(85));
        EXPECT_EQ(ds.dsrslvdn(ld, "cn=quick,o=x", nullptr, &set), DS_OK);
        after = qortest::pool_stats(ld->ld_pool).live_bytes;
    }
    EXPECT_EQ(bytes[kRounds - 1], bytes[0]);
    ds.dsclose(ld);
    server.finish();
}

}  // namespace
