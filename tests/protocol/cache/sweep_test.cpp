// Allocation-failure sweeps: enabling, filing (a search read and filed with its 1st, 2nd, ...
// allocation failing) and answering (a cached search answered the same way), until the
// operation runs untouched. Every run must end cleanly: an answer that is reported complete is
// the whole answer, what the cache files is always a whole operation, and the session holds
// exactly the blocks its cache accounts for.
#include <atomic>
#include <string>
#include <vector>

#include "cache_fixture.h"
#include "tests/support/answering_server.h"

namespace cachetest {
namespace {

using Strings = std::vector<std::string>;

constexpr long kMaxSweep = 400;
constexpr const char *kFilter = "(cn=a)";
// A search the server answers without entries.
constexpr const char *kNobody = "(cn=nobody)";

class CacheSweepTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(qortest::module_loaded()); }
    void SetUp() override { pools_before_ = qorhost_live_pools(); }
    void TearDown() override {
        qorhost_fail_reset();
        if (ld_ != nullptr) ldap_unbind(ld_);
        EXPECT_EQ(qorhost_live_pools(), pools_before_) << "a session pool outlived the test";
    }

    // A session to the answering server with an empty cache, its read-ahead buffer and its
    // abandoned-id list already made, so that the blocks it holds stay put between runs.
    void open_session() {
        ld_ = ldap_open("127.0.0.1", server_.port());
        ASSERT_NE(ld_, nullptr);
        ld_->ld_timelimit = 5000;
        ASSERT_EQ(ldap_enable_cache(ld_, 60000, 0), 0);
        ASSERT_EQ(ldap_abandon(ld_, 1000), 0);
        LDAPMessage *result = nullptr;
        ASSERT_EQ(ldap_search_s(ld_, kBase, LDAP_SCOPE_SUBTREE, kFilter, nullptr, 0, &result), LDAP_SUCCESS);
        ldap_msgfree(ld_->ld_pool, result);
        ldap_flush_cache(ld_);
        clear_error_texts(ld_);
        empty_cache_blocks_ = live_blocks();
    }

    // One search under fault injection from its nth allocation: started, and waited for when it
    // went out. An answer reported complete must be the whole answer under the search's id; an
    // incomplete one is abandoned. Answers whether a fault was injected.
    bool faulty_search(long n) {
        int32_t id = -1;
        int32_t type = -1;
        LDAPMessage *result = nullptr;
        long injected = 0;
        {
            qortest::FailAllocations fail(n);
            id = ldap_search(ld_, kBase, LDAP_SCOPE_SUBTREE, kFilter, nullptr, 0);
            if (id != -1) type = ldap_result(ld_, id, 1, 0, &result);
            injected = fail.injected();
        }
        if (type == LDAP_RES_SEARCH_RESULT) {
            EXPECT_EQ(entry_dns(ld_, result), (Strings{kFirstDn, kSecondDn})) << "run " << n;
            for (int32_t message_id : ids_of(result)) EXPECT_EQ(message_id, id) << "run " << n;
            EXPECT_EQ(ldap_result2error(ld_, result, 0), LDAP_SUCCESS) << "run " << n;
        } else {
            EXPECT_GT(injected, 0) << "run " << n << ": failed without a fault";
            if (id != -1) {
                EXPECT_EQ(ldap_abandon(ld_, id), 0) << "run " << n;
            }
        }
        ldap_msgfree(ld_->ld_pool, result);
        return injected > 0;
    }

    // Every filed operation is whole (request, two entries, final result), and the blocks are
    // accounted for.
    void expect_whole_cache(long n) {
        clear_error_texts(ld_);
        LDAPResultCache *cache = cache_of(ld_);
        for (LDAPMessage *slot : cache->ca_buckets) {
            for (LDAPMessage *chain = slot; chain != nullptr; chain = chain->lm_list_next) {
                EXPECT_EQ(types_of(chain), (std::vector<int32_t>{LDAP_REQ_SEARCH, LDAP_RES_SEARCH_ENTRY,
                                                                 LDAP_RES_SEARCH_ENTRY, LDAP_RES_SEARCH_RESULT}))
                    << "run " << n;
            }
        }
        expect_blocks_accounted(n);
    }

    // Nothing is pending or queued, the account matches, and the session holds its own blocks
    // plus three (record, element, buffer) per cached record.
    void expect_blocks_accounted(long n) {
        clear_error_texts(ld_);
        EXPECT_EQ(pending_count(ld_), 0) << "run " << n;
        EXPECT_EQ(ld_->ld_queued_responses, nullptr) << "run " << n;
        EXPECT_EQ(cache_of(ld_)->ca_memory_used, expected_memory(ld_)) << "run " << n;
        EXPECT_EQ(live_blocks(), empty_cache_blocks_ + 3L * cached_records(ld_)) << "run " << n << ": blocks left behind";
    }

    long live_blocks() const { return qortest::pool_stats(ld_->ld_pool).live_blocks; }

    std::atomic<int> searches_{0};
    qortest::AnsweringServer server_{[this](const qortest::ReceivedRequest &request) -> std::vector<Bytes> {
        if (request.op != ldap::op::search_request) return {};
        ++searches_;
        const std::string bytes(request.bytes.begin(), request.bytes.end());
        if (bytes.find("nobody") != std::string::npos) return {ldap::search_done(request.id, 0)};
        return {two_entries(request.id)};
    }};
    LDAP *ld_ = nullptr;
    long empty_cache_blocks_ = 0;

private:
    long pools_before_ = 0;
};

TEST_F(CacheSweepTest, Enabling) {
    LDAP *ld = ldap_init("127.0.0.1", 389);
    ASSERT_NE(ld, nullptr);
    const long blocks = qortest::pool_stats(ld->ld_pool).live_blocks;
    long n = 1;
    for (; n <= kMaxSweep; ++n) {
        int32_t answer = 0;
        long injected = 0;
        {
            qortest::FailAllocations fail(n);
            answer = ldap_enable_cache(ld, 60000, 1000);
            injected = fail.injected();
        }
        if (answer == -1) {
            EXPECT_GT(injected, 0) << "run " << n;
            EXPECT_EQ(ld->ld_errno, LDAP_NO_MEMORY) << "run " << n;
            EXPECT_EQ(ld->ld_result_cache, nullptr) << "run " << n;
            EXPECT_EQ(qortest::pool_stats(ld->ld_pool).live_blocks, blocks) << "run " << n;
            continue;
        }
        ASSERT_NE(ld->ld_result_cache, nullptr);
        EXPECT_EQ(cache_of(ld)->ca_memory_used, CACHE_EMPTY_MEMORY);
        EXPECT_EQ(cache_of(ld)->ca_max_memory, 1000);
        if (injected == 0) break;
        ldap_destroy_cache(ld);
    }
    EXPECT_GT(n, 1) << "enabling allocates";
    EXPECT_LE(n, kMaxSweep);
    ldap_ld_free(ld, 0);
}

TEST_F(CacheSweepTest, FilingWhileTheResultsAreRead) {
    open_session();
    long n = 1;
    for (; n <= kMaxSweep; ++n) {
        ldap_flush_cache(ld_);
        const bool faulted = faulty_search(n);

        // The same search without faults: the whole answer, from the cache when the faulty run
        // filed it, else from the server, which then files it.
        faulty_search(kMaxSweep * 10);
        EXPECT_EQ(filed_count(ld_), 1) << "run " << n;
        const int before = searches_.load();
        faulty_search(kMaxSweep * 10);
        EXPECT_EQ(searches_.load(), before) << "run " << n << ": a filed search went to the server";
        expect_whole_cache(n);
        if (!faulted) break;
    }
    EXPECT_LE(n, kMaxSweep);
}

TEST_F(CacheSweepTest, AnsweringFromTheCache) {
    open_session();
    faulty_search(kMaxSweep * 10);
    ASSERT_EQ(filed_count(ld_), 1);
    long n = 1;
    for (; n <= kMaxSweep; ++n) {
        const int before = searches_.load();
        const bool faulted = faulty_search(n);
        expect_whole_cache(n);
        if (!faulted) {
            EXPECT_EQ(searches_.load(), before) << "the untouched run is answered from the cache";
            break;
        }
    }
    EXPECT_LE(n, kMaxSweep);
}

TEST_F(CacheSweepTest, UncachingByTheDnOfAnEntry) {
    open_session();
    long n = 1;
    for (; n <= kMaxSweep; ++n) {
        ldap_flush_cache(ld_);
        LDAPMessage *result = nullptr;
        ASSERT_EQ(ldap_search_s(ld_, kBase, LDAP_SCOPE_SUBTREE, kFilter, nullptr, 0, &result), LDAP_SUCCESS);
        ldap_msgfree(ld_->ld_pool, result);
        ASSERT_EQ(ldap_search_s(ld_, kBase, LDAP_SCOPE_SUBTREE, kNobody, nullptr, 0, &result), LDAP_SUCCESS);
        ldap_msgfree(ld_->ld_pool, result);
        ASSERT_EQ(filed_count(ld_), 2);

        long injected = 0;
        {
            qortest::FailAllocations fail(n);
            ldap_uncache_entry(ld_, "CN=B,ou=x,o=t");
            injected = fail.injected();
        }
        // The search that returned the entry is gone whatever failed; the other one may go too
        // when its DNs could not be read.
        const int left = filed_count(ld_);
        EXPECT_LE(left, 1) << "run " << n;
        if (left == 1) {
            LDAPMessage *chain = nullptr;
            for (LDAPMessage *slot : cache_of(ld_)->ca_buckets) chain = slot != nullptr ? slot : chain;
            EXPECT_EQ(types_of(chain), (std::vector<int32_t>{LDAP_REQ_SEARCH, LDAP_RES_SEARCH_RESULT})) << "run " << n;
        }
        expect_blocks_accounted(n);
        if (injected == 0) {
            EXPECT_EQ(left, 1);
            break;
        }
    }
    EXPECT_GT(n, 1) << "uncaching by DN allocates";
    EXPECT_LE(n, kMaxSweep);
}

}  // namespace
}  // namespace cachetest
