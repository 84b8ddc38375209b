// Shared pieces of the result-cache tests: a session with a cache against the scripted server
// (whose script proves what is and is not sent), views of the cache's lists and account, and
// readers of result chains.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "module/client/client.h"
#include "module/client/ldcache.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "tests/support/fake_ldap_server.h"
#include "tests/support/ldap_messages.h"
#include "tests/support/runtime.h"
#include "tests/support/session_views.h"

namespace cachetest {

using qortest::Bytes;
namespace ldap = qortest::ldap;
using qortest::clear_error_texts;

inline constexpr const char *kBase = "ou=x,o=t";
// Entries of the standard answer.
inline constexpr const char *kFirstDn = "cn=a,ou=x,o=t";
inline constexpr const char *kSecondDn = "cn=b,ou=x,o=t";

// The standard answer to a search with id `id`, in one write: two entries, then the final
// result `code`.
Bytes two_entries(std::int64_t id, int code = ldap::code::success);

// The DN of each entry of a chain, in order.
std::vector<std::string> entry_dns(LDAP *ld, LDAPMessage *chain);
// lm_type of each message of a chain, in order.
std::vector<int32_t> types_of(LDAPMessage *chain);
// lm_id of each message of a chain, in order.
std::vector<int32_t> ids_of(LDAPMessage *chain);

// Views of the cache of a session (all zero without a cache).
LDAPResultCache *cache_of(LDAP *ld);
int filed_count(LDAP *ld);
int pending_count(LDAP *ld);
// Records (request and results) in every chain, pending and filed.
int cached_records(LDAP *ld);
// What the account should hold: the empty count plus, for each filed chain, 28 and the encoded
// length of each record.
int64_t expected_memory(LDAP *ld);
// What one chain counts.
int64_t chain_memory(const LDAPMessage *chain);

// Every test runs with the module loaded, starts its script and opens one session to it, and
// must leave no pool behind.
class CacheTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(qortest::module_loaded()); }
    void SetUp() override { pools_before_ = qorhost_live_pools(); }
    void TearDown() override;

    // Starts the script, opens the session (5 s wait limit) and enables its cache.
    void open_session(int32_t timeout = 60000, int32_t max_memory = 0);

    // ldap_search_s below kBase (subtree, all attributes) with `filter`; the chain is kept in
    // result_ (released by the next call and by TearDown). Answers the result code.
    int32_t search(const char *filter, int32_t attrsonly = 0);
    // ldap_search without waiting; the id or -1.
    int32_t start(const char *filter, int32_t attrsonly = 0);
    // The whole chain of `id` (all = 1) into result_; the type answered.
    int32_t wait_for(int32_t id);

    void release_result();
    long live_blocks() const { return qortest::pool_stats(ld_->ld_pool).live_blocks; }

    qortest::FakeLdapServer server_;
    LDAP *ld_ = nullptr;
    LDAPMessage *result_ = nullptr;

private:
    long pools_before_ = 0;
};

}  // namespace cachetest
