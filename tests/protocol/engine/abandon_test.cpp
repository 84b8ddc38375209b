// Abandoning requests: a result already queued, an unknown id, a request in progress, a request
// whose referral children are in progress, and a child itself.
#include <string>

#include "engine_support.h"

namespace enginetest {
namespace {

class AbandonTest : public EngineTest {};

TEST_F(AbandonTest, QueuedResultIsDiscardedAndNothingIsSent) {
    FakeLdapServer server;
    server.accept()
        .expect_request(ldap::op::delete_request, 1)
        .expect_request(ldap::op::delete_request, 2)
        .reply({ldap::delete_response(1, 0), ldap::delete_response(2, 0)})
        .expect_close();
    LDAP *ld = start_delete({&server}, "cn=a");
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_delete(ld, "cn=b"), 2);
    take_result(ld, 2, LDAP_RES_DELETE);
    ASSERT_NE(ld->ld_queued_responses, nullptr);

    ld->ld_errno = 99;
    EXPECT_EQ(ldap_abandon(ld, 1), 0);
    EXPECT_EQ(ld->ld_errno, 0);
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    EXPECT_EQ(ld->ld_abandoned_ids, nullptr);
    EXPECT_EQ(ld->ld_last_msgid, 2);
    end_session(ld, {&server}, Ending::free_silently);
    EXPECT_EQ(server.requests(0).size(), 2u);
}

TEST_F(AbandonTest, UnknownIdIsAbandonedOnTheSessionConnectionAndRecorded) {
    FakeLdapServer server;
    server.accept().expect(ldap::abandon_request(1, 77)).expect(ldap::abandon_request(2, 78)).expect_close();
    LDAP *ld = start_session({&server});
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(ldap_abandon(ld, 77), 0);
    EXPECT_EQ(ldap_abandon(ld, 78), 0);
    ASSERT_NE(ld->ld_abandoned_ids, nullptr);
    EXPECT_EQ(ld->ld_abandoned_ids[0], 77);
    EXPECT_EQ(ld->ld_abandoned_ids[1], 78);
    EXPECT_EQ(ld->ld_abandoned_ids[2], -1);
    EXPECT_EQ(ldap_abandoned(ld, 78), 1);
    EXPECT_EQ(ldap_abandoned(ld, 79), 0);
    EXPECT_EQ(ldap_mark_abandoned(ld, 77), 0);
    EXPECT_EQ(ldap_mark_abandoned(ld, 77), -1);
    EXPECT_EQ(ld->ld_abandoned_ids[0], 78);
    EXPECT_EQ(ld->ld_abandoned_ids[1], -1);
    end_session(ld, {&server}, Ending::free_silently);
}

// A long-lived session that abandons request after request keeps only the latest ids: an old id
// no longer matters once its request is gone.
TEST_F(AbandonTest, AbandonedIdsStayBounded) {
    LDAP *ld = ldap_init(nullptr, 0);
    ASSERT_NE(ld, nullptr);
    ldap_abandon(ld, 1);
    const long bytes_before = qortest::pool_stats(ld->ld_pool).live_bytes;
    for (int32_t id = 2; id <= 20000; ++id) ldap_abandon(ld, id);
    EXPECT_LT(qortest::pool_stats(ld->ld_pool).live_bytes - bytes_before, 1024);
    EXPECT_EQ(ldap_abandoned(ld, 20000), 1);
    EXPECT_EQ(ldap_abandoned(ld, 19937), 1);   // the latest 64 are kept
    EXPECT_EQ(ldap_abandoned(ld, 1), 0);
    ldap_ld_free(ld, 0);
}

TEST_F(AbandonTest, WithoutAConnectionTheAbandonFailsButTheIdIsRecorded) {
    LDAP *ld = ldap_init(nullptr, 0);
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(ldap_abandon(ld, 5), -1);
    EXPECT_EQ(ld->ld_errno, LDAP_SERVER_DOWN);
    EXPECT_EQ(ldap_abandoned(ld, 5), 1);
    ldap_ld_free(ld, 0);
}

TEST_F(AbandonTest, RequestInProgressIsReleasedAndItsLateAnswerDropped) {
    FakeLdapServer server;
    server.accept()
        .expect_request(ldap::op::search_request, 1)
        .expect(ldap::abandon_request(2, 1))
        .reply({ldap::search_entry(1, "cn=late", {}), ldap::search_done(1, 0)})
        .expect_request(ldap::op::delete_request, 3)
        .reply(ldap::delete_response(3, 0))
        .expect_close();
    LDAP *ld = start_search({&server}, "o=example");
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 2);
    EXPECT_EQ(ldap_abandon(ld, 1), 0);
    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    ASSERT_EQ(send_delete(ld, "cn=x"), 3);
    LDAPMessage *result = nullptr;
    ASSERT_EQ(ldap_result(ld, -1, 1, 0, &result), LDAP_RES_DELETE);
    EXPECT_EQ(result->lm_id, 3);
    ldap_msgfree(ld->ld_pool, result);
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    end_session(ld, {&server}, Ending::free_silently);
}

TEST_F(AbandonTest, AbandonedChainInTheQueueIsDiscardedByTheNextResultCall) {
    FakeLdapServer server;
    accept_search_and_delete(server)
        .reply({ldap::search_entry(1, "cn=a", {}), ldap::delete_response(2, 0)})
        .expect(ldap::abandon_request(3, 1))
        .expect_close();
    LDAP *ld = start_queued_search({&server});
    ASSERT_NE(ld, nullptr);
    // The entry chain of search 1 is queued; abandoning removes it and sends an abandon.
    EXPECT_EQ(ldap_abandon(ld, 1), 0);
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    EXPECT_EQ(ldap_abandoned(ld, 1), 1);
    end_session(ld, {&server}, Ending::free_silently);
}

TEST_F(AbandonTest, RequestWithTwoChildrenAbandonsEachChildOnItsConnection) {
    FakeLdapServer a, b, c;
    refer_first_search(a, {url(b.port(), "/o=b"), url(c.port(), "/o=c")});
    // Ids: 2 child b, 3 bind b, 4 child c, 5 bind c. The newest child goes first: its abandon,
    // then the unbind of its connection, whose last use that was.
    accept_bind(b, 3)
        .expect_request(ldap::op::search_request, 2)
        .expect(ldap::abandon_request(8, 2))
        .expect(ldap::unbind_request(9))
        .expect_close();
    accept_bind(c, 5)
        .expect_request(ldap::op::search_request, 4)
        .expect(ldap::abandon_request(6, 4))
        .expect(ldap::unbind_request(7))
        .expect_close();
    LDAP *ld = start_search({&a, &b, &c}, "o=a");
    ASSERT_NE(ld, nullptr);
    LDAPMessage *result = nullptr;
    ASSERT_EQ(ldap_result(ld, 1, 1, 300, &result), 0);
    ASSERT_EQ(pending_count(ld), 3);
    ASSERT_EQ(connection_count(ld), 3);
    LDAPPendingRequest *top = find_request_by_msgid(ld, 1);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->rq_open_children, 2);

    // A child cannot be abandoned by itself.
    EXPECT_EQ(ldap_abandon(ld, 2), -1);
    EXPECT_EQ(ld->ld_errno, LDAP_PARAM_ERROR);
    EXPECT_EQ(pending_count(ld), 3);
    EXPECT_EQ(ld->ld_abandoned_ids, nullptr);

    EXPECT_EQ(ldap_abandon(ld, 1), 0);
    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(connection_count(ld), 1);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    for (int id : {1, 2, 4}) EXPECT_EQ(ldap_abandoned(ld, id), 1) << id;
    end_session(ld, {&a, &b, &c}, Ending::free_silently);
    EXPECT_EQ(a.requests(0).size(), 1u);
}

}  // namespace
}  // namespace enginetest
