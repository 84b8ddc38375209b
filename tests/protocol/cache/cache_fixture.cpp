#include "cache_fixture.h"

#include "tests/support/ber_builder.h"

namespace cachetest {

Bytes two_entries(std::int64_t id, int code) {
    return qortest::concat({ldap::search_entry(id, kFirstDn, {{"cn", {"a"}}, {"mail", {"a@t", "a2@t"}}}),
                            ldap::search_entry(id, kSecondDn, {{"cn", {"b"}}}),
                            ldap::search_done(id, code, code == 0 ? "" : "ou=x,o=t", code == 0 ? "" : "why")});
}

std::vector<std::string> entry_dns(LDAP *ld, LDAPMessage *chain) {
    std::vector<std::string> dns;
    for (LDAPMessage *entry = ldap_first_entry(ld, chain); entry != nullptr; entry = ldap_next_entry(ld, entry)) {
        char *dn = ldap_get_dn(ld, entry);
        dns.emplace_back(dn != nullptr ? dn : "<undecodable>");
        if (dn != nullptr) ld->ld_pool->release(ld->ld_pool, dn, 0, 4);
    }
    return dns;
}

std::vector<int32_t> types_of(LDAPMessage *chain) {
    std::vector<int32_t> types;
    for (; chain != nullptr; chain = chain->lm_chain_next) types.push_back(chain->lm_type);
    return types;
}

std::vector<int32_t> ids_of(LDAPMessage *chain) {
    std::vector<int32_t> ids;
    for (; chain != nullptr; chain = chain->lm_chain_next) ids.push_back(chain->lm_id);
    return ids;
}

LDAPResultCache *cache_of(LDAP *ld) {
    return static_cast<LDAPResultCache *>(ld->ld_result_cache);
}

namespace {

int list_length(const LDAPMessage *list) {
    int count = 0;
    for (; list != nullptr; list = list->lm_list_next) ++count;
    return count;
}

int chain_length(const LDAPMessage *chain) {
    int count = 0;
    for (; chain != nullptr; chain = chain->lm_chain_next) ++count;
    return count;
}

}  // namespace

int filed_count(LDAP *ld) {
    LDAPResultCache *cache = cache_of(ld);
    if (cache == nullptr) return 0;
    int count = 0;
    for (LDAPMessage *slot : cache->ca_buckets) count += list_length(slot);
    return count;
}

int pending_count(LDAP *ld) {
    LDAPResultCache *cache = cache_of(ld);
    return cache != nullptr ? list_length(cache->ca_pending) : 0;
}

int cached_records(LDAP *ld) {
    LDAPResultCache *cache = cache_of(ld);
    if (cache == nullptr) return 0;
    int count = 0;
    for (const LDAPMessage *chain = cache->ca_pending; chain != nullptr; chain = chain->lm_list_next) {
        count += chain_length(chain);
    }
    for (LDAPMessage *slot : cache->ca_buckets) {
        for (const LDAPMessage *chain = slot; chain != nullptr; chain = chain->lm_list_next) count += chain_length(chain);
    }
    return count;
}

int64_t chain_memory(const LDAPMessage *chain) {
    int64_t total = 0;
    for (; chain != nullptr; chain = chain->lm_chain_next) {
        total += 28 + (chain->lm_ber_elem->be_end - chain->lm_ber_elem->be_start);
    }
    return total;
}

int64_t expected_memory(LDAP *ld) {
    LDAPResultCache *cache = cache_of(ld);
    int64_t total = 148;
    if (cache == nullptr) return total;
    for (LDAPMessage *slot : cache->ca_buckets) {
        for (const LDAPMessage *chain = slot; chain != nullptr; chain = chain->lm_list_next) total += chain_memory(chain);
    }
    return total;
}

void CacheTest::TearDown() {
    qorhost_fail_reset();
    if (ld_ != nullptr) {
        release_result();
        ldap_unbind(ld_);
        ld_ = nullptr;
    }
    server_.finish();
    EXPECT_EQ(qorhost_live_pools(), pools_before_) << "a session pool outlived the test";
}

void CacheTest::open_session(int32_t timeout, int32_t max_memory) {
    server_.start();
    ld_ = ldap_open("127.0.0.1", server_.port());
    ASSERT_NE(ld_, nullptr);
    ld_->ld_timelimit = 5000;
    ASSERT_EQ(ldap_enable_cache(ld_, timeout, max_memory), 0);
}

void CacheTest::release_result() {
    ldap_msgfree(ld_->ld_pool, result_);
    result_ = nullptr;
}

int32_t CacheTest::search(const char *filter, int32_t attrsonly) {
    release_result();
    return ldap_search_s(ld_, kBase, LDAP_SCOPE_SUBTREE, filter, nullptr, attrsonly, &result_);
}

int32_t CacheTest::start(const char *filter, int32_t attrsonly) {
    return ldap_search(ld_, kBase, LDAP_SCOPE_SUBTREE, filter, nullptr, attrsonly);
}

int32_t CacheTest::wait_for(int32_t id) {
    release_result();
    return ldap_result(ld_, id, 1, 0, &result_);
}

}  // namespace cachetest
