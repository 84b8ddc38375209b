// Referral chasing: referral text with followed, unreachable and non-URL lines, the DN of a URL,
// merging the results of child requests, the hop limit, connection reuse, rebinding and the
// release of referral connections.
#include <string>

#include "engine_support.h"

namespace enginetest {
namespace {

using qortest::FakeLdapServer;

std::string url(std::uint16_t port, const std::string &rest = "") {
    return "ldap://127.0.0.1:" + std::to_string(port) + rest;
}

class ReferralTest : public EngineTest {
protected:
    // The complete result of request `id`, or null after a failed wait.
    LDAPMessage *result_of(LDAP *ld, int32_t id) {
        LDAPMessage *result = nullptr;
        int32_t type = ldap_result(ld, id, 1, 0, &result);
        EXPECT_GT(type, 0) << "ld_errno " << ld->ld_errno;
        return result;
    }
};

TEST_F(ReferralTest, FollowsUrlLinesAndKeepsUnreachableAndForeignLines) {
    FakeLdapServer b;
    std::uint16_t dead = dead_port();
    std::string referral = "Referral:\n" + url(b.port(), "/o=b??sub") + "\n" + url(dead, "/o=x") + "\nnot a url";
    FakeLdapServer a;
    a.accept()
        .expect(search_request_bytes(1, "o=a"))
        .reply(ldap::search_done(1, ldap::code::partial_results, "", referral))
        .expect_close();
    // Ids: 1 the search, 2 the child for line 1, 3 its anonymous bind, 4 the child for line 2,
    // 5 the unbind when the referral connection is released.
    b.accept()
        .expect(ldap::bind_request(3, 2, "", ""))
        .reply(ldap::bind_response(3, 0))
        .expect(search_request_bytes(2, "o=b"))
        .reply({ldap::search_entry(2, "cn=x,o=b", {{"cn", {"x"}}}), ldap::search_done(2, 0)})
        .expect(ldap::unbind_request(5))
        .expect_close();
    a.start();
    b.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 1);

    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(chain->lm_id, 1);
    EXPECT_EQ(ldap_count_entries(ld, chain), 1);
    ASSERT_NE(chain->lm_chain_next, nullptr);
    EXPECT_EQ(chain->lm_chain_next->lm_id, 1);
    EXPECT_EQ(chain->lm_chain_next->lm_type, LDAP_RES_SEARCH_RESULT);
    // The unreachable server left its code; the text lists what was not followed.
    EXPECT_EQ(ldap_result2error(ld, chain, 1), LDAP_SERVER_DOWN);
    EXPECT_EQ(std::string(ld->ld_error), "Referral:\n" + url(dead) + "\nnot a url");

    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(connection_count(ld), 1);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    EXPECT_EQ(ld->ld_last_msgid, 5);
    ldap_unbind(ld);
    a.finish();
    b.finish();
    EXPECT_TRUE(b.unbind_before_close(0));
}

TEST_F(ReferralTest, PartialResultWithoutTextFromAChildCountsAsSuccess) {
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", "Referral:\n" + url(b.port(), "/o=b")))
        .expect_close();
    b.accept()
        .expect_request(ldap::op::bind_request, 3)
        .reply(ldap::bind_response(3, 0))
        .expect_request(ldap::op::search_request, 2)
        .reply(ldap::search_done(2, 9))
        .expect_close();
    a.start();
    b.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_count_entries(ld, chain), 0);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 0);
    EXPECT_STREQ(ld->ld_error, "");
    ldap_unbind(ld);
    a.finish();
    b.finish();
}

TEST_F(ReferralTest, PartialResultWithoutTextForATopLevelRequestReachesTheCaller) {
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "o=m", "no marker here"))
        .expect_close();
    a.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 9);
    EXPECT_STREQ(ld->ld_error, "no marker here");
    EXPECT_STREQ(ld->ld_matched, "o=m");
    ldap_unbind(ld);
    a.finish();
}

TEST_F(ReferralTest, ChildErrorIsTakenWithItsMatchedDnForNameErrors) {
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", "Referral:\n" + url(b.port(), "/o=b")))
        .expect_close();
    b.accept()
        .expect_request(ldap::op::bind_request, 3)
        .reply(ldap::bind_response(3, 0))
        .expect_request(ldap::op::search_request, 2)
        .reply(ldap::search_done(2, 32, "o=b", "no such entry"))
        .expect(ldap::unbind_request(4))
        .expect_close();
    a.start();
    b.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 32);
    EXPECT_STREQ(ld->ld_matched, "o=b");
    EXPECT_STREQ(ld->ld_error, "no such entry");
    ldap_unbind(ld);
    a.finish();
    b.finish();
}

TEST_F(ReferralTest, HopLimitStopsChasingAndDropsTheReferralPart) {
    FakeLdapServer c;
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", "Referral:\n" + url(b.port(), "/o=b")))
        .expect_close();
    // The child at hop 1 is referred on, but the limit is 1: nothing goes to c.
    b.accept()
        .expect_request(ldap::op::bind_request, 3)
        .reply(ldap::bind_response(3, 0))
        .expect_request(ldap::op::search_request, 2)
        .reply(ldap::search_done(2, 9, "", "before\nReferral:\n" + url(c.port(), "/o=c")))
        .expect_close();
    a.start();
    b.start();
    c.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ld->ld_referral_hop_limit = 1;
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 0);
    ldap_unbind(ld);
    a.finish();
    b.finish();
    c.finish();
    EXPECT_EQ(c.connections_accepted(), 0u);
}

TEST_F(ReferralTest, HopLimitZeroHandsTheResultOutAsReceived) {
    FakeLdapServer a;
    std::string text = "Referral:\nldap://127.0.0.1:1/o=b";
    a.accept().expect_request(ldap::op::search_request, 1).reply(ldap::search_done(1, 9, "", text)).expect_close();
    a.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ld->ld_referral_hop_limit = 0;
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 9);
    EXPECT_EQ(std::string(ld->ld_error), text);
    EXPECT_EQ(connection_count(ld), 1);
    ldap_unbind(ld);
    a.finish();
}

TEST_F(ReferralTest, TwoLinesToOneServerShareOneBoundConnection) {
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", "Referral:\n" + url(b.port(), "/o=b1") + "\n" + url(b.port(), "/o=b2")))
        .expect_close();
    b.accept()
        .expect(ldap::bind_request(3, 2, "", ""))
        .reply(ldap::bind_response(3, 0))
        .expect(search_request_bytes(2, "o=b1"))
        .expect(search_request_bytes(4, "o=b2"))
        .reply(ldap::search_done(2, 0))
        .delay(std::chrono::milliseconds(100))
        .reply({ldap::search_entry(4, "cn=y,o=b2", {}), ldap::search_done(4, 0)})
        .expect(ldap::unbind_request(5))
        .expect_close();
    a.start();
    b.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 1);

    // Wait until both children are out and the first one is answered.
    LDAPMessage *chain = nullptr;
    EXPECT_EQ(ldap_result(ld, 1, 1, 50, &chain), 0);
    LDAPConnection *to_b = connection_to(ld, b.port());
    ASSERT_NE(to_b, nullptr);
    EXPECT_EQ(connection_count(ld), 2);
    LDAPPendingRequest *top = find_request_by_msgid(ld, 1);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->rq_status, REQ_CHASING_REFERRALS);
    EXPECT_GE(top->rq_open_children, 1);
    EXPECT_EQ(to_b->cn_use_count, top->rq_open_children);
    // The top-level request keeps its use of the default connection while it waits.
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 2);

    chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_count_entries(ld, chain), 1);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 0);
    EXPECT_EQ(connection_count(ld), 1);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    ldap_unbind(ld);
    a.finish();
    b.finish();
    EXPECT_EQ(b.connections_accepted(), 1u);
}

TEST_F(ReferralTest, ChildrenOnTwoServersMergeTheirEntriesIntoOneChain) {
    FakeLdapServer c;
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", "Referral:\n" + url(b.port(), "/o=b") + "\n" + url(c.port(), "/o=c")))
        .expect_close();
    // b answers at once; c is slow to accept the bind. Ids: 2 child b, 3 bind b, 4 child c, 5 bind c.
    b.accept()
        .expect(ldap::bind_request(3, 2, "", ""))
        .reply(ldap::bind_response(3, 0))
        .expect(search_request_bytes(2, "o=b"))
        .reply({ldap::search_entry(2, "cn=1,o=b", {}), ldap::search_done(2, 0)})
        .expect_close();
    c.accept()
        .expect(ldap::bind_request(5, 2, "", ""))
        .delay(std::chrono::milliseconds(100))
        .reply(ldap::bind_response(5, 0))
        .expect(search_request_bytes(4, "o=c"))
        .reply({ldap::search_entry(4, "cn=2,o=c", {}), ldap::search_entry(4, "cn=3,o=c", {}),
                ldap::search_done(4, 0)})
        .expect_close();
    a.start();
    b.start();
    c.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_count_entries(ld, chain), 3);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 0);
    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(connection_count(ld), 1);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    ldap_unbind(ld);
    a.finish();
    b.finish();
    c.finish();
}

TEST_F(ReferralTest, ResultQueuedWhileBindingForAReferralIsHandedOut) {
    for (int32_t wanted : {2, -1}) {
        FakeLdapServer b;
        FakeLdapServer a;
        // Ids: 1 the search, 2 the delete, 3 the child, 4 the bind on b. The delete's result
        // arrives while the engine waits for b to accept the bind.
        a.accept()
            .expect_request(ldap::op::search_request, 1)
            .expect_request(ldap::op::delete_request, 2)
            .reply(ldap::search_done(1, 9, "", "Referral:\n" + url(b.port(), "/o=b")))
            .delay(std::chrono::milliseconds(50))
            .reply(ldap::delete_response(2, 0))
            .expect_close();
        b.accept()
            .expect_request(ldap::op::bind_request, 4)
            .delay(std::chrono::milliseconds(200))
            .reply(ldap::bind_response(4, 0))
            .expect_request(ldap::op::search_request, 3)
            .hold();
        a.start();
        b.start();
        LDAP *ld = open_session(a.port());
        ASSERT_NE(ld, nullptr);
        ASSERT_EQ(send_search(ld, "o=a"), 1);
        ASSERT_EQ(send_delete(ld, "cn=x"), 2);
        LDAPMessage *result = nullptr;
        ASSERT_EQ(ldap_result(ld, wanted, 1, 3000, &result), LDAP_RES_DELETE) << "waiting for " << wanted;
        EXPECT_EQ(result->lm_id, 2);
        ldap_msgfree(ld->ld_pool, result);
        EXPECT_EQ(find_request_by_msgid(ld, 1)->rq_status, REQ_CHASING_REFERRALS);
        ldap_ld_free(ld, 0);
        a.finish();
        b.finish();
    }
}

TEST_F(ReferralTest, UrlDnEndsAtTheQuestionMarkAndIsUnescaped) {
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", "Referral:\n" + url(b.port(), "/o=b%20c%2Cd??sub?(cn=*)") + "\n" +
                                               url(b.port())))
        .expect_close();
    b.accept()
        .expect_request(ldap::op::bind_request, 3)
        .reply(ldap::bind_response(3, 0))
        .expect(search_request_bytes(2, "o=b c,d"))
        .expect(search_request_bytes(4, "o=a"))   // no DN in the URL: the request's own
        .reply({ldap::search_done(2, 0), ldap::search_done(4, 0)})
        .expect_close();
    a.start();
    b.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 0);
    ldap_unbind(ld);
    a.finish();
    b.finish();
}

TEST_F(ReferralTest, FinalLineBreakDoesNotMakeTheResultPartial) {
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", "Referral:\n" + url(b.port(), "/o=b") + "\n"))
        .expect_close();
    b.accept()
        .expect_request(ldap::op::bind_request, 3)
        .reply(ldap::bind_response(3, 0))
        .expect(search_request_bytes(2, "o=b"))
        .reply(ldap::search_done(2, 0))
        .expect_close();
    a.start();
    b.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 0);
    EXPECT_STREQ(ld->ld_error, "");
    ldap_unbind(ld);
    a.finish();
    b.finish();
}

TEST_F(ReferralTest, ReferredDeleteCarriesTheUrlDn) {
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect(ldap::delete_request(1, "cn=x,o=a"))
        .reply(ldap::delete_response(1, 9, "", "Referral:\n" + url(b.port(), "/cn=y,o=b")))
        .expect_close();
    b.accept()
        .expect_request(ldap::op::bind_request, 3)
        .reply(ldap::bind_response(3, 0))
        .expect(ldap::delete_request(2, "cn=y,o=b"))
        .reply(ldap::delete_response(2, 0))
        .expect_close();
    a.start();
    b.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_delete(ld, "cn=x,o=a"), 1);
    LDAPMessage *result = result_of(ld, 1);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->lm_type, LDAP_RES_DELETE);
    EXPECT_EQ(ldap_result2error(ld, result, 1), 0);
    ldap_unbind(ld);
    a.finish();
    b.finish();
}

TEST_F(ReferralTest, ReferredBindKeepsVersionAndCredentials) {
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect(ldap::bind_request(1, 3, "cn=me,o=a", "pw"))
        .reply(ldap::bind_response(1, 9, "", "Referral:\n" + url(b.port(), "/cn=me,o=b")))
        .expect_close();
    b.accept()
        .expect(ldap::bind_request(3, 3, "", ""))
        .reply(ldap::bind_response(3, 0))
        .expect(ldap::bind_request(2, 3, "cn=me,o=b", "pw"))
        .reply(ldap::bind_response(2, 0))
        .expect_close();
    a.start();
    b.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ld->ld_protocol_version = 3;
    EXPECT_EQ(ldap_simple_bind_s(ld, "cn=me,o=a", "pw"), 0);
    ldap_unbind(ld);
    a.finish();
    b.finish();
}

// A rebind procedure that supplies fixed credentials and counts its calls.
int rebind_supplies = 0;
int rebind_releases = 0;
int32_t supplying_rebind(LDAP *, char **dn, char **password, int32_t *method, int32_t free_it) {
    static char the_dn[] = "cn=ref,o=b";
    static char the_password[] = "refpw";
    if (free_it != 0) {
        ++rebind_releases;
        EXPECT_EQ(*dn, the_dn);
        return 0;
    }
    ++rebind_supplies;
    *dn = the_dn;
    *password = the_password;
    *method = LDAP_AUTH_SIMPLE;
    return 0;
}

int32_t refusing_rebind(LDAP *, char **, char **, int32_t *, int32_t free_it) {
    EXPECT_EQ(free_it, 0) << "a refusing procedure supplied nothing to release";
    return 50;
}

TEST_F(ReferralTest, RebindProcedureSuppliesAndReleasesCredentials) {
    rebind_supplies = rebind_releases = 0;
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", "Referral:\n" + url(b.port(), "/o=b")))
        .expect_close();
    b.accept()
        .expect(ldap::bind_request(3, 2, "cn=ref,o=b", "refpw"))
        .reply(ldap::bind_response(3, 0))
        .expect_request(ldap::op::search_request, 2)
        .reply(ldap::search_done(2, 0))
        .expect_close();
    a.start();
    b.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ldap_set_rebind_proc(ld, supplying_rebind);
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 0);
    EXPECT_EQ(rebind_supplies, 1);
    EXPECT_EQ(rebind_releases, 1);
    ldap_unbind(ld);
    a.finish();
    b.finish();
}

TEST_F(ReferralTest, RefusedRebindOrFailedBindLeavesTheLineUnfollowed) {
    FakeLdapServer c;
    FakeLdapServer b;
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", "Referral:\n" + url(b.port(), "/o=b")))
        .expect_request(ldap::op::search_request, 3)
        .reply(ldap::search_done(3, 9, "", "Referral:\n" + url(c.port(), "/o=c")))
        .expect_close();
    b.accept().expect_close();
    c.accept()
        .expect(ldap::bind_request(5, 2, "", ""))
        .reply(ldap::bind_response(5, 49))
        .expect_close();
    a.start();
    b.start();
    c.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);

    ldap_set_rebind_proc(ld, refusing_rebind);
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 50);
    EXPECT_EQ(std::string(ld->ld_error), "Referral:\n" + url(b.port()));
    EXPECT_EQ(connection_count(ld), 1);

    // Without a procedure the bind is anonymous; the server refuses it.
    ldap_set_rebind_proc(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 3);
    chain = result_of(ld, 3);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 49);
    EXPECT_EQ(connection_count(ld), 1);
    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    ldap_unbind(ld);
    a.finish();
    b.finish();
    c.finish();
    EXPECT_FALSE(b.unbind_received(0));
    EXPECT_FALSE(c.unbind_received(0));
}

TEST_F(ReferralTest, ResultWithoutMarkerIsNotChased) {
    FakeLdapServer a;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 32, "o=a", "Referral: ldap://127.0.0.1:1/o=b"))
        .expect_close();
    a.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 32);
    EXPECT_STREQ(ld->ld_error, "Referral: ldap://127.0.0.1:1/o=b");
    EXPECT_EQ(connection_count(ld), 1);
    ldap_unbind(ld);
    a.finish();
}

TEST_F(ReferralTest, ReferralsAreNotChasedWhenTheOptionIsOff) {
    FakeLdapServer a;
    std::string text = "Referral:\nldap://127.0.0.1:1/o=b";
    a.accept().expect_request(ldap::op::search_request, 1).reply(ldap::search_done(1, 9, "", text)).expect_close();
    a.start();
    LDAP *ld = open_session(a.port());
    ASSERT_NE(ld, nullptr);
    ld->ld_option_flags &= ~OPT_CHASE_REFERRALS;
    ASSERT_EQ(send_search(ld, "o=a"), 1);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 9);
    EXPECT_EQ(std::string(ld->ld_error), text);
    ldap_unbind(ld);
    a.finish();
}

TEST_F(ReferralTest, AppendReferralBuildsTheText) {
    LDAP *ld = ldap_init(nullptr, 0);
    ASSERT_NE(ld, nullptr);
    char *text = nullptr;
    ASSERT_EQ(append_referral(ld, &text, "ldap://a"), 0);
    EXPECT_STREQ(text, "Referral:\nldap://a");
    ASSERT_EQ(append_referral(ld, &text, "ldap://b/o=x"), 0);
    EXPECT_STREQ(text, "Referral:\nldap://a\nldap://b/o=x");
    {
        qortest::FailAllocations fail(1);
        EXPECT_EQ(append_referral(ld, &text, "ldap://c"), -1);
    }
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(ld->ld_errno, LDAP_NO_MEMORY);
    ldap_ld_free(ld, 0);
}

}  // namespace
}  // namespace enginetest
