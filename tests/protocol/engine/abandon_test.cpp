// Abandoning requests: a result already queued, an unknown id, a request in progress, a request
// whose referral children are in progress, and a child itself.
#include <string>

#include "engine_support.h"

namespace enginetest {
namespace {

using qortest::FakeLdapServer;

std::string url(std::uint16_t port, const std::string &rest) {
    return "ldap://127.0.0.1:" + std::to_string(port) + rest;
}

class AbandonTest : public EngineTest {};

TEST_F(AbandonTest, QueuedResultIsDiscardedAndNothingIsSent) {
    FakeLdapServer server;
    server.accept()
        .expect_request(ldap::op::delete_request, 1)
        .expect_request(ldap::op::delete_request, 2)
        .reply({ldap::delete_response(1, 0), ldap::delete_response(2, 0)})
        .expect_close();
    server.start();
    LDAP *ld = open_session(server.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_delete(ld, "cn=a"), 1);
    ASSERT_EQ(send_delete(ld, "cn=b"), 2);
    LDAPMessage *result = nullptr;
    ASSERT_EQ(ldap_result(ld, 2, 1, 0, &result), LDAP_RES_DELETE);
    ldap_msgfree(ld->ld_pool, result);
    ASSERT_NE(ld->ld_queued_responses, nullptr);

    ld->ld_errno = 99;
    EXPECT_EQ(ldap_abandon(ld, 1), 0);
    EXPECT_EQ(ld->ld_errno, 0);
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    EXPECT_EQ(ld->ld_abandoned_ids, nullptr);
    EXPECT_EQ(ld->ld_last_msgid, 2);
    ldap_ld_free(ld, 0);
    server.finish();
    EXPECT_EQ(server.requests(0).size(), 2u);
}

TEST_F(AbandonTest, UnknownIdIsAbandonedOnTheSessionConnectionAndRecorded) {
    FakeLdapServer server;
    server.accept().expect(ldap::abandon_request(1, 77)).expect(ldap::abandon_request(2, 78)).expect_close();
    server.start();
    LDAP *ld = open_session(server.port());
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
    ldap_ld_free(ld, 0);
    server.finish();
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
    server.start();
    LDAP *ld = open_session(server.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=example"), 1);
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
    ldap_ld_free(ld, 0);
    server.finish();
}

TEST_F(AbandonTest, AbandonedChainInTheQueueIsDiscardedByTheNextResultCall) {
    FakeLdapServer server;
    server.accept()
        .expect_request(ldap::op::search_request, 1)
        .expect_request(ldap::op::delete_request, 2)
        .reply({ldap::search_entry(1, "cn=a", {}), ldap::delete_response(2, 0)})
        .expect(ldap::abandon_request(3, 1))
        .expect_close();
    server.start();
    LDAP *ld = open_session(server.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=example"), 1);
    ASSERT_EQ(send_delete(ld, "cn=x"), 2);
    LDAPMessage *result = nullptr;
    ASSERT_EQ(ldap_result(ld, 2, 1, 0, &result), LDAP_RES_DELETE);
    ldap_msgfree(ld->ld_pool, result);
    // The entry chain of search 1 is queued; abandoning removes it and sends an abandon.
    EXPECT_EQ(ldap_abandon(ld, 1), 0);
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    EXPECT_EQ(ldap_abandoned(ld, 1), 1);
    ldap_ld_free(ld, 0);
    server.finish();
}

TEST_F(AbandonTest, RequestWithTwoChildrenAbandonsEachChildOnItsConnection) {
    FakeLdapServer c;
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", "Referral:\n" + url(b.port(), "/o=b") + "\n" + url(c.port(), "/o=c")))
        .expect_close();
    // Ids: 2 child b, 3 bind b, 4 child c, 5 bind c. The newest child goes first: its abandon,
    // then the unbind of its connection, whose last use that was.
    b.accept()
        .expect_request(ldap::op::bind_request, 3)
        .reply(ldap::bind_response(3, 0))
        .expect_request(ldap::op::search_request, 2)
        .expect(ldap::abandon_request(8, 2))
        .expect(ldap::unbind_request(9))
        .expect_close();
    c.accept()
        .expect_request(ldap::op::bind_request, 5)
        .reply(ldap::bind_response(5, 0))
        .expect_request(ldap::op::search_request, 4)
        .expect(ldap::abandon_request(6, 4))
        .expect(ldap::unbind_request(7))
        .expect_close();
    a.start();
    b.start();
    c.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 1);
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
    ldap_ld_free(ld, 0);
    a.finish();
    b.finish();
    c.finish();
    EXPECT_EQ(a.requests(0).size(), 1u);
}

}  // namespace
}  // namespace enginetest
