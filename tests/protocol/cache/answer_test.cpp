// Searches answered from the cache: what is sent (the server's script fails on any request it
// does not expect), the ids and shape of the answer, which searches match, and requests that
// never complete.
#include <string>
#include <vector>

#include "cache_fixture.h"

namespace cachetest {
namespace {

using Strings = std::vector<std::string>;
using Types = std::vector<int32_t>;
using Ids = std::vector<int32_t>;

constexpr int32_t E = LDAP_RES_SEARCH_ENTRY;
constexpr int32_t R = LDAP_RES_SEARCH_RESULT;

class AnswerTest : public CacheTest {};

TEST_F(AnswerTest, RepeatedSearchIsAnsweredWithoutTheServerUnderANewId) {
    server_.accept().expect_request(ldap::op::search_request, 1).reply(two_entries(1));
    open_session();

    ASSERT_EQ(search("(cn=*)"), LDAP_SUCCESS);
    EXPECT_EQ(ids_of(result_), (Ids{1, 1, 1}));
    ASSERT_EQ(filed_count(ld_), 1);
    EXPECT_EQ(pending_count(ld_), 0);
    const int32_t memory = cache_of(ld_)->ca_memory_used;
    EXPECT_GT(memory, CACHE_EMPTY_MEMORY);
    EXPECT_EQ(memory, expected_memory(ld_));

    ld_->ld_errno = LDAP_LOCAL_ERROR;
    const int32_t id = start("(cn=*)");
    EXPECT_EQ(id, 2);
    EXPECT_EQ(ld_->ld_errno, LDAP_SUCCESS);
    EXPECT_EQ(ld_->ld_pending_requests, nullptr) << "an answered search leaves no request";
    ASSERT_EQ(wait_for(id), R);
    EXPECT_EQ(ids_of(result_), (Ids{2, 2, 2}));
    EXPECT_EQ(types_of(result_), (Types{E, E, R}));
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn}));
    for (LDAPMessage *m = result_; m != nullptr; m = m->lm_chain_next) EXPECT_EQ(m->lm_list_next, nullptr);
    char **mail = ldap_get_values(ld_, result_, "mail");
    ASSERT_NE(mail, nullptr);
    EXPECT_EQ(ldap_count_values(mail), 2);
    EXPECT_STREQ(mail[1], "a2@t");
    ldap_value_free(ld_->ld_pool, mail);
    EXPECT_EQ(ldap_result2error(ld_, result_, 0), LDAP_SUCCESS);

    // The answer is a copy: releasing it leaves the cache whole, and it answers again.
    release_result();
    EXPECT_EQ(filed_count(ld_), 1);
    EXPECT_EQ(cache_of(ld_)->ca_memory_used, memory);
    ASSERT_EQ(search("(cn=*)"), LDAP_SUCCESS);
    EXPECT_EQ(ids_of(result_), (Ids{3, 3, 3}));
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn}));
}

TEST_F(AnswerTest, AnswerCanBeReadOneMessageAtATime) {
    server_.accept().expect_request(ldap::op::search_request, 1).reply(two_entries(1));
    open_session();
    ASSERT_EQ(search("(cn=*)"), LDAP_SUCCESS);
    release_result();

    const int32_t id = start("(cn=*)");
    for (int32_t expected : {E, E, R}) {
        LDAPMessage *one = nullptr;
        ASSERT_EQ(ldap_result(ld_, id, 0, 0, &one), expected);
        EXPECT_EQ(one->lm_id, id);
        EXPECT_EQ(one->lm_chain_next, nullptr);
        EXPECT_EQ(one->lm_list_next, nullptr);
        ldap_msgfree(ld_->ld_pool, one);
    }
    EXPECT_EQ(ld_->ld_queued_responses, nullptr);
}

TEST_F(AnswerTest, RepetitionBeforeTheFinalResultGoesToTheServer) {
    server_.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_entry(1, kFirstDn, {}))
        .expect_request(ldap::op::search_request, 2)
        .reply({ldap::search_done(1, 0), two_entries(2)});
    open_session();

    const int32_t first = start("(cn=*)");
    const int32_t second = start("(cn=*)");
    ASSERT_EQ(second, 2);
    EXPECT_EQ(pending_count(ld_), 2);
    ASSERT_EQ(wait_for(first), R);
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn}));
    ASSERT_EQ(wait_for(second), R);
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn}));
    EXPECT_EQ(filed_count(ld_), 2);
    EXPECT_EQ(pending_count(ld_), 0);

    // The newer of the two answers.
    ASSERT_EQ(search("(cn=*)"), LDAP_SUCCESS);
    EXPECT_EQ(ids_of(result_), (Ids{3, 3, 3}));
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn}));
}

TEST_F(AnswerTest, OnlyIdenticalRequestsMatch) {
    server_.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(two_entries(1))
        // Attributes only: another request.
        .expect_request(ldap::op::search_request, 2)
        .reply({ldap::search_entry(2, kSecondDn, {}), ldap::search_done(2, 0)})
        // Same length, same slot, other bytes.
        .expect_request(ldap::op::search_request, 3)
        .reply(ldap::search_done(3, 0));
    open_session();

    ASSERT_EQ(search("(cn=a)"), LDAP_SUCCESS);
    ASSERT_EQ(search("(cn=a)", 1), LDAP_SUCCESS);
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kSecondDn}));
    ASSERT_EQ(search("(cn=b)"), LDAP_SUCCESS);
    EXPECT_EQ(entry_dns(ld_, result_), Strings{});
    EXPECT_EQ(filed_count(ld_), 3);

    // Each is answered with its own results.
    ASSERT_EQ(search("(cn=a)", 1), LDAP_SUCCESS);
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kSecondDn}));
    ASSERT_EQ(search("(cn=b)"), LDAP_SUCCESS);
    EXPECT_EQ(entry_dns(ld_, result_), Strings{});
    ASSERT_EQ(search("(cn=a)"), LDAP_SUCCESS);
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn}));
    EXPECT_EQ(ld_->ld_last_msgid, 6);
}

TEST_F(AnswerTest, DisabledCacheNeitherAnswersNorFilesButKeepsItsContents) {
    server_.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(two_entries(1))
        .expect_request(ldap::op::search_request, 2)
        .reply(two_entries(2))
        .expect_request(ldap::op::search_request, 3)
        .reply(two_entries(3));
    open_session();
    ASSERT_EQ(search("(cn=a)"), LDAP_SUCCESS);
    const int32_t memory = cache_of(ld_)->ca_memory_used;

    ldap_disable_cache(ld_);
    ASSERT_EQ(search("(cn=a)"), LDAP_SUCCESS);   // to the server
    ASSERT_EQ(search("(cn=b)"), LDAP_SUCCESS);   // to the server, not filed
    EXPECT_EQ(pending_count(ld_), 0);
    EXPECT_EQ(filed_count(ld_), 1);
    EXPECT_EQ(cache_of(ld_)->ca_memory_used, memory);

    ASSERT_EQ(ldap_enable_cache(ld_, 60000, 0), 0);
    ASSERT_EQ(search("(cn=a)"), LDAP_SUCCESS);   // from the cache again
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn}));
}

TEST_F(AnswerTest, AbandonedSearchLeavesNothingPendingOnceTheNextSearchIsMade) {
    server_.accept()
        .expect_request(ldap::op::search_request, 1)
        .expect(ldap::abandon_request(2, 1))
        .reply(two_entries(1))   // late: dropped by the reader
        .expect_request(ldap::op::search_request, 3)
        .reply(two_entries(3));
    open_session();

    const int32_t id = start("(cn=a)");
    EXPECT_EQ(pending_count(ld_), 1);
    ASSERT_EQ(ldap_abandon(ld_, id), 0);
    EXPECT_EQ(search("(cn=b)"), LDAP_SUCCESS);
    EXPECT_EQ(pending_count(ld_), 0);
    EXPECT_EQ(filed_count(ld_), 1);
    EXPECT_EQ(cached_records(ld_), 4);
}

TEST_F(AnswerTest, SearchThatCannotBeSentLeavesNothingPendingAndTheCacheStillAnswers) {
    server_.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(two_entries(1))
        .expect_request(ldap::op::delete_request, 2)
        .reset();
    open_session();
    ld_->ld_option_flags |= OPT_NO_RECONNECT;
    ASSERT_EQ(search("(cn=a)"), LDAP_SUCCESS);
    EXPECT_EQ(ldap_delete_s(ld_, "cn=a,ou=x,o=t"), LDAP_SERVER_DOWN);

    // The connection has been reset and is not replaced: a search the cache cannot answer fails
    // to go out.
    EXPECT_EQ(start("(cn=b)"), -1);
    EXPECT_EQ(ld_->ld_errno, LDAP_SERVER_DOWN);
    EXPECT_EQ(pending_count(ld_), 0);
    EXPECT_EQ(cached_records(ld_), 4);

    ASSERT_EQ(search("(cn=a)"), LDAP_SUCCESS);
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn}));
}

}  // namespace
}  // namespace cachetest
