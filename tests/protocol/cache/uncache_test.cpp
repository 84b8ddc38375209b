// Taking operations out of the cache: by message id, by the DN a request names or an entry
// carries, all at once by a flush or a simple bind, and with the session.
#include <string>
#include <vector>

#include "cache_fixture.h"

namespace cachetest {
namespace {

using Strings = std::vector<std::string>;

constexpr const char *kOtherDn = "cn=z,ou=y,o=t";

class UncacheTest : public CacheTest {
protected:
    void expect_answer(const char *filter) {
        ASSERT_EQ(search(filter), LDAP_SUCCESS) << filter;
        EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn})) << filter;
    }
    void expect_empty() {
        EXPECT_EQ(filed_count(ld_), 0);
        EXPECT_EQ(pending_count(ld_), 0);
        EXPECT_EQ(cache_of(ld_)->ca_memory_used, CACHE_EMPTY_MEMORY);
    }
};

TEST_F(UncacheTest, ByIdRemovesFiledAndPendingOperations) {
    server_.accept()
        .expect_request(ldap::op::search_request, 1).reply(two_entries(1))
        .expect_request(ldap::op::search_request, 2).reply(two_entries(2))
        .expect_request(ldap::op::search_request, 3).reply(two_entries(3))
        .expect_request(ldap::op::search_request, 5).reply(two_entries(5));
    open_session();
    expect_answer("(cn=a)");
    expect_answer("(cn=b)");
    ldap_uncache_request(ld_, 1);
    EXPECT_EQ(filed_count(ld_), 1);
    EXPECT_EQ(cache_of(ld_)->ca_memory_used, expected_memory(ld_));
    expect_answer("(cn=a)");   // id 3 from the server
    expect_answer("(cn=b)");   // id 4 from the cache

    const int32_t memory = cache_of(ld_)->ca_memory_used;
    const int32_t id = start("(cn=c)");
    EXPECT_EQ(pending_count(ld_), 1);
    ldap_uncache_request(ld_, id);
    EXPECT_EQ(pending_count(ld_), 0);
    EXPECT_EQ(cache_of(ld_)->ca_memory_used, memory) << "pending operations are not counted";
    ASSERT_EQ(wait_for(id), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn}));
    EXPECT_EQ(filed_count(ld_), 2);
    EXPECT_EQ(cache_of(ld_)->ca_memory_used, memory);
}

TEST_F(UncacheTest, ByDnOfAnyReturnedEntryOrOfTheSearchBase) {
    server_.accept()
        .expect_request(ldap::op::search_request, 1).reply(two_entries(1))
        .expect_request(ldap::op::search_request, 2)
        .reply({ldap::search_entry(2, kOtherDn, {}), ldap::search_done(2, 0)})
        .expect_request(ldap::op::search_request, 3).reply(two_entries(3))
        .expect_request(ldap::op::search_request, 5)
        .expect(ldap::abandon_request(6, 5));
    open_session();
    expect_answer("(cn=a)");
    ASSERT_EQ(search("(cn=z)"), LDAP_SUCCESS);
    ASSERT_EQ(filed_count(ld_), 2);

    // Neither a prefix nor an unrelated name removes anything.
    ldap_uncache_entry(ld_, "cn=b,ou=x");
    ldap_uncache_entry(ld_, "cn=nobody,o=t");
    EXPECT_EQ(filed_count(ld_), 2);

    // The second entry of the first search, in other letter case: that whole search goes.
    ldap_uncache_entry(ld_, "CN=B,OU=X,O=T");
    EXPECT_EQ(filed_count(ld_), 1);
    EXPECT_EQ(cache_of(ld_)->ca_memory_used, expected_memory(ld_));
    expect_answer("(cn=a)");   // id 3 from the server
    ASSERT_EQ(search("(cn=z)"), LDAP_SUCCESS);   // id 4 from the cache
    EXPECT_EQ(entry_dns(ld_, result_), Strings{kOtherDn});

    // The base both searches name removes both, and a pending one too.
    const int32_t id = start("(cn=q)");
    ldap_uncache_entry(ld_, "Ou=X,o=T");
    expect_empty();
    EXPECT_EQ(ldap_abandon(ld_, id), 0);
}

// The session reads its own writes: an update the server applied forgets the searches that may
// answer differently now, within their base and scope, whatever their filter; a refused update
// forgets nothing.
TEST_F(UncacheTest, AppliedUpdatesForgetTheSearchesTheyMayChange) {
    server_.accept()
        .expect_request(ldap::op::search_request, 1).reply(two_entries(1))
        .expect_request(ldap::op::search_request, 2).reply(ldap::search_done(2, 0))
        .expect_request(ldap::op::add_request, 3).reply(ldap::add_response(3, ldap::code::already_exists))
        .expect_request(ldap::op::add_request, 4).reply(ldap::add_response(4, 0))
        .expect_request(ldap::op::search_request, 5).reply(two_entries(5))
        .expect_request(ldap::op::delete_request, 6).reply(ldap::delete_response(6, 0));
    open_session();
    expect_answer("(cn=a)");
    ASSERT_EQ(ldap_search_s(ld_, "o=elsewhere", LDAP_SCOPE_SUBTREE, "(cn=*)", nullptr, 0, &result_), 0);
    ASSERT_EQ(filed_count(ld_), 2);

    LDAPMod *no_attributes[] = {nullptr};
    EXPECT_EQ(ldap_add_s(ld_, "cn=new,ou=x,o=t", no_attributes), ldap::code::already_exists);
    EXPECT_EQ(filed_count(ld_), 2);
    EXPECT_EQ(ldap_add_s(ld_, "cn=new,ou=x,o=t", no_attributes), 0);
    EXPECT_EQ(filed_count(ld_), 1);   // the search elsewhere stays
    expect_answer("(cn=a)");          // id 5 from the server
    ASSERT_EQ(filed_count(ld_), 2);
    EXPECT_EQ(ldap_delete_s(ld_, kFirstDn), 0);
    EXPECT_EQ(filed_count(ld_), 1);
}

TEST_F(UncacheTest, SimpleBindEmptiesTheCacheEvenWhenItFails) {
    server_.accept()
        .expect_request(ldap::op::search_request, 1).reply(two_entries(1))
        .expect_request(ldap::op::search_request, 2)
        .expect(ldap::bind_request(3, 2, "cn=u,o=t", "pw"))
        .reply({two_entries(2), ldap::bind_response(3, ldap::code::invalid_credentials)})
        .expect_request(ldap::op::search_request, 4).reply(two_entries(4));
    open_session();
    expect_answer("(cn=a)");
    const int32_t id = start("(cn=b)");

    EXPECT_EQ(ldap_simple_bind_s(ld_, "cn=u,o=t", "pw"), ldap::code::invalid_credentials);
    expect_empty();
    // The search that was under way when the cache was emptied completes, and is not filed.
    ASSERT_EQ(wait_for(id), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn}));
    expect_empty();
    expect_answer("(cn=a)");   // id 4 from the server
}

TEST_F(UncacheTest, FlushAndDestroyGiveEveryBlockBack) {
    server_.accept()
        .expect_request(ldap::op::search_request, 1).reply(two_entries(1))
        .expect_request(ldap::op::search_request, 2).reply(two_entries(2))
        .expect_request(ldap::op::search_request, 4).reply(two_entries(4));
    open_session();
    expect_answer("(cn=a)");
    release_result();
    clear_error_texts(ld_);
    ldap_destroy_cache(ld_);
    EXPECT_EQ(ld_->ld_result_cache, nullptr);
    const long blocks = live_blocks();

    ASSERT_EQ(ldap_enable_cache(ld_, 60000, 0), 0);
    expect_answer("(cn=a)");   // id 2 from the server
    expect_answer("(cn=a)");   // id 3 from the cache
    release_result();
    const int32_t id = start("(cn=b)");
    ldap_flush_cache(ld_);
    expect_empty();
    clear_error_texts(ld_);
    ldap_destroy_cache(ld_);
    EXPECT_EQ(ld_->ld_result_cache, nullptr);

    // The search under way completes without a cache, and nothing of the cache is left.
    ASSERT_EQ(wait_for(id), LDAP_RES_SEARCH_RESULT);
    release_result();
    EXPECT_EQ(live_blocks(), blocks);
}

TEST_F(UncacheTest, SessionEndsWithFiledAndPendingOperations) {
    server_.accept()
        .expect_request(ldap::op::search_request, 1).reply(two_entries(1))
        .expect_request(ldap::op::search_request, 2).reply(ldap::search_entry(2, kFirstDn, {}));
    open_session();
    expect_answer("(cn=a)");
    const int32_t id = start("(cn=b)");
    LDAPMessage *entry = nullptr;
    ASSERT_EQ(ldap_result(ld_, id, 0, 0, &entry), LDAP_RES_SEARCH_ENTRY);
    ldap_msgfree(ld_->ld_pool, entry);
    EXPECT_EQ(filed_count(ld_), 1);
    EXPECT_EQ(pending_count(ld_), 1);
    // TearDown ends the session and checks its pool is gone.
}

TEST_F(UncacheTest, WithoutACacheEveryOperationDoesNothing) {
    server_.accept().expect_request(ldap::op::search_request, 1).reply(two_entries(1));
    open_session();
    ldap_destroy_cache(ld_);
    ldap_destroy_cache(ld_);
    ldap_flush_cache(ld_);
    ldap_disable_cache(ld_);
    ldap_set_cache_options(ld_, CACHE_OPT_KEEP_ALL_ERRORS);
    ldap_uncache_request(ld_, 1);
    ldap_uncache_entry(ld_, kFirstDn);
    EXPECT_EQ(ld_->ld_result_cache, nullptr);
    expect_answer("(cn=a)");
    EXPECT_EQ(ld_->ld_result_cache, nullptr);
}

}  // namespace
}  // namespace cachetest
