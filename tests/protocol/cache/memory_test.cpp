// Expiry by the host clock and eviction by the memory limit: what stays filed, what the account
// says, and which repetitions the server sees again.
#include <initializer_list>
#include <string>
#include <vector>

#include "cache_fixture.h"

namespace cachetest {
namespace {

using Strings = std::vector<std::string>;

// Three filters of different lengths: their requests land in three different slots, and each
// files one byte more than the one before.
constexpr const char *kA = "(cn=a)";
constexpr const char *kB = "(cn=bb)";
constexpr const char *kC = "(cn=ccc)";

class MemoryTest : public CacheTest {
protected:
    // Opens the session with its cache (`timeout`, `max_memory`) against a server that answers
    // exactly the searches `ids`, in that order, with the standard answer: the ids left out are
    // the ones the cache must answer.
    void open_serving(std::initializer_list<std::int64_t> ids, int32_t timeout, int32_t max_memory = 0) {
        server_.accept();
        for (std::int64_t id : ids) {
            server_.expect_request(ldap::op::search_request, id).reply(two_entries(id));
        }
        open_session(timeout, max_memory);
    }

    // Searches `filter` and answers what filing it added to the account.
    int32_t file(const char *filter) {
        const int32_t before = cache_of(ld_)->ca_memory_used;
        EXPECT_EQ(search(filter), LDAP_SUCCESS) << filter;
        return cache_of(ld_)->ca_memory_used - before;
    }

    // Searches `filter` and checks the standard answer came back.
    void expect_answer(const char *filter) {
        ASSERT_EQ(search(filter), LDAP_SUCCESS) << filter;
        EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn})) << filter;
    }

    void expect_account_consistent() { EXPECT_EQ(cache_of(ld_)->ca_memory_used, expected_memory(ld_)); }

    // Files kA and, 10 ms later, kB, lets `wait_ms` pass, then sets a limit whose two thirds hold
    // the two larger chains (kB's and kC's, one byte larger) but not all three. Answers what
    // ldap_enable_cache answers.
    int32_t file_a_and_b_then_limit(int32_t timeout, double wait_ms);
};

// The smallest limit whose two thirds hold `memory`.
int32_t limit_holding(int32_t memory) {
    int32_t limit = memory;
    while ((2 * static_cast<int64_t>(limit)) / 3 < memory) ++limit;
    return limit;
}

int32_t MemoryTest::file_a_and_b_then_limit(int32_t timeout, double wait_ms) {
    file(kA);
    qorhost_advance_clock_ms(10);
    const int32_t b = file(kB);
    qorhost_advance_clock_ms(wait_ms);
    return ldap_enable_cache(ld_, timeout, limit_holding(CACHE_EMPTY_MEMORY + b + b + 1));
}

TEST_F(MemoryTest, EntryExpiresByTheClockAndIsDroppedWhenItsSlotIsSearched) {
    open_serving({1, 3}, 1000);
    const int32_t size = file(kA);
    ASSERT_GT(size, 0);

    qorhost_advance_clock_ms(500);
    expect_answer(kA);   // id 2, still young

    qorhost_advance_clock_ms(600);
    const int32_t id = start(kA);
    ASSERT_EQ(id, 3);
    EXPECT_EQ(filed_count(ld_), 0);
    EXPECT_EQ(pending_count(ld_), 1);
    EXPECT_EQ(cache_of(ld_)->ca_memory_used, CACHE_EMPTY_MEMORY);
    ASSERT_EQ(wait_for(id), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(filed_count(ld_), 1);
    EXPECT_EQ(cache_of(ld_)->ca_memory_used, CACHE_EMPTY_MEMORY + size);
}

TEST_F(MemoryTest, WithoutALimitNothingIsEvictedAndExpiredEntriesWaitForTheirSlot) {
    open_serving({1, 2, 3, 4, 5}, 100);
    file(kA);
    file(kB);
    file(kC);
    qorhost_advance_clock_ms(1000);
    EXPECT_EQ(filed_count(ld_), 3);

    const int32_t id = start(kA);
    EXPECT_EQ(filed_count(ld_), 2) << "only the searched slot is cleaned";
    expect_account_consistent();
    ASSERT_EQ(wait_for(id), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(filed_count(ld_), 3);
    expect_answer(kB);   // expired: id 5 goes to the server
    expect_account_consistent();
}

TEST_F(MemoryTest, EvictionRemovesEveryExpiredEntryFirst) {
    open_serving({1, 2, 3, 5, 6}, 1000);
    ASSERT_EQ(file_a_and_b_then_limit(1000, 1500), 0);
    EXPECT_EQ(filed_count(ld_), 2) << "the limit is not reached yet";

    file(kC);
    // Dropping the oldest alone would have been enough; both expired entries go.
    EXPECT_EQ(filed_count(ld_), 1);
    expect_account_consistent();
    expect_answer(kC);   // id 4 from the cache
    expect_answer(kA);   // id 5 from the server
    expect_answer(kB);   // id 6 from the server
}

TEST_F(MemoryTest, EvictionRemovesTheOldestUntilTwoThirdsOfTheLimit) {
    open_serving({1, 2, 3, 6}, 60000);
    ASSERT_EQ(file_a_and_b_then_limit(60000, 10), 0);

    file(kC);
    EXPECT_EQ(filed_count(ld_), 2);
    EXPECT_LE(cache_of(ld_)->ca_memory_used, (2 * cache_of(ld_)->ca_max_memory) / 3);
    expect_account_consistent();
    expect_answer(kC);   // id 4 from the cache
    expect_answer(kB);   // id 5 from the cache
    expect_answer(kA);   // id 6 from the server
}

TEST_F(MemoryTest, EnablingAgainKeepsTheContentsAndAppliesTheNewLimitAtOnce) {
    open_serving({1, 2, 5, 6}, 60000);
    const int32_t a = file(kA);
    const int32_t b = file(kB);
    ASSERT_LT(a, b);

    ASSERT_EQ(ldap_enable_cache(ld_, 60000, 0), 0);
    EXPECT_EQ(filed_count(ld_), 2);
    expect_answer(kA);   // id 3 from the cache

    ASSERT_EQ(ldap_enable_cache(ld_, 60000, limit_holding(CACHE_EMPTY_MEMORY + b)), 0);
    EXPECT_EQ(filed_count(ld_), 1);
    expect_answer(kB);   // id 4 from the cache

    // Two thirds of 149 lie below what an empty cache counts: nothing can stay.
    ASSERT_EQ(ldap_enable_cache(ld_, 60000, CACHE_EMPTY_MEMORY + 1), 0);
    EXPECT_EQ(filed_count(ld_), 0);
    EXPECT_EQ(cache_of(ld_)->ca_memory_used, CACHE_EMPTY_MEMORY);
    expect_answer(kA);   // id 5 from the server
    expect_answer(kB);   // id 6 from the server
}

TEST_F(MemoryTest, LimitTooSmallForAnyEntryKeepsNothingAndStillAnswersTheCaller) {
    open_serving({1, 2}, 60000, 222);
    expect_answer(kA);
    EXPECT_EQ(filed_count(ld_), 0);
    EXPECT_EQ(pending_count(ld_), 0);
    EXPECT_EQ(cache_of(ld_)->ca_memory_used, CACHE_EMPTY_MEMORY);
    expect_answer(kA);   // id 2 from the server
}

}  // namespace
}  // namespace cachetest
