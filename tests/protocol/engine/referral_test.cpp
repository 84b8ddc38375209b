// Referral chasing: referral text with followed, unreachable and non-URL lines, the DN of a URL,
// merging the results of child requests, the hop limit, connection reuse, rebinding and the
// release of referral connections.
#include <chrono>
#include <string>

#include "engine_support.h"

namespace enginetest {
namespace {

using namespace std::chrono_literals;

class ReferralTest : public EngineTest {};

TEST_F(ReferralTest, FollowsUrlLinesAndKeepsUnreachableAndForeignLines) {
    FakeLdapServer a, b;
    std::uint16_t dead = dead_port();
    a.accept()
        .expect(search_request_bytes(1, "o=a"))
        .reply(ldap::search_done(1, ldap::code::partial_results, "",
                                 referral({url(b.port(), "/o=b??sub"), url(dead, "/o=x"), "not a url"})))
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
    LDAP *ld = start_search({&a, &b}, "o=a");
    ASSERT_NE(ld, nullptr);

    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(chain->lm_id, 1);
    EXPECT_EQ(ldap_count_entries(ld, chain), 1);
    ASSERT_NE(chain->lm_chain_next, nullptr);
    EXPECT_EQ(chain->lm_chain_next->lm_id, 1);
    EXPECT_EQ(chain->lm_chain_next->lm_type, LDAP_RES_SEARCH_RESULT);
    // The unreachable server left its code; the text lists what was not followed, URLs whole.
    EXPECT_EQ(ldap_result2error(ld, chain, 1), LDAP_SERVER_DOWN);
    EXPECT_STREQ(ld->ld_error, referral({url(dead, "/o=x"), "not a url"}).c_str());

    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(connection_count(ld), 1);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    EXPECT_EQ(ld->ld_last_msgid, 5);
    end_session(ld, {&a, &b});
    EXPECT_TRUE(b.unbind_before_close(0));
}

TEST_F(ReferralTest, PartialResultWithoutTextFromAChildCountsAsSuccess) {
    FakeLdapServer a, b;
    refer_first_search(a, {url(b.port(), "/o=b")});
    accept_bind(b, 3).expect_request(ldap::op::search_request, 2).reply(ldap::search_done(2, 9)).expect_close();
    LDAP *ld = start_search({&a, &b}, "o=a");
    ASSERT_NE(ld, nullptr);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_count_entries(ld, chain), 0);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 0);
    EXPECT_STREQ(ld->ld_error, "");
    end_session(ld, {&a, &b});
}

TEST_F(ReferralTest, PartialResultWithoutTextForATopLevelRequestReachesTheCaller) {
    FakeLdapServer a;
    answer_first_search(a, ldap::search_done(1, 9, "o=m", "no marker here"));
    LDAP *ld = start_search({&a}, "o=a");
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), 9);
    EXPECT_STREQ(ld->ld_error, "no marker here");
    EXPECT_STREQ(ld->ld_matched, "o=m");
    end_session(ld, {&a});
}

TEST_F(ReferralTest, ChildErrorIsTakenWithItsMatchedDnForNameErrors) {
    FakeLdapServer a, b;
    refer_first_search(a, {url(b.port(), "/o=b")});
    accept_bind(b, 3)
        .expect_request(ldap::op::search_request, 2)
        .reply(ldap::search_done(2, 32, "o=b", "no such entry"))
        .expect(ldap::unbind_request(4))
        .expect_close();
    LDAP *ld = start_search({&a, &b}, "o=a");
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), 32);
    EXPECT_STREQ(ld->ld_matched, "o=b");
    EXPECT_STREQ(ld->ld_error, "no such entry");
    end_session(ld, {&a, &b});
}

// A referral that is not followed is never a success: the result is a partial one that lists it.
TEST_F(ReferralTest, HopLimitStopsChasingAndKeepsTheReferralUnfollowed) {
    FakeLdapServer a, b, c;
    refer_first_search(a, {url(b.port(), "/o=b")});
    // The child at hop 1 is referred on, but the limit is 1: nothing goes to c.
    accept_bind(b, 3)
        .expect_request(ldap::op::search_request, 2)
        .reply(ldap::search_done(2, 9, "", "before\n" + referral({url(c.port(), "/o=c")})))
        .expect_close();
    LDAP *ld = start_search({&a, &b, &c}, "o=a", [](LDAP *session) { session->ld_referral_hop_limit = 1; });
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), LDAP_PARTIAL_RESULTS);
    EXPECT_STREQ(ld->ld_error, referral({url(c.port(), "/o=c")}).c_str());
    end_session(ld, {&a, &b, &c});
    EXPECT_EQ(c.connections_accepted(), 0u);
}

TEST_F(ReferralTest, HopLimitZeroHandsTheResultOutAsReceived) {
    FakeLdapServer a;
    std::string text = referral({"ldap://127.0.0.1:1/o=b"});
    answer_first_search(a, ldap::search_done(1, 9, "", text));
    LDAP *ld = start_search({&a}, "o=a", [](LDAP *session) { session->ld_referral_hop_limit = 0; });
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), 9);
    EXPECT_STREQ(ld->ld_error, text.c_str());
    EXPECT_EQ(connection_count(ld), 1);
    end_session(ld, {&a});
}

TEST_F(ReferralTest, TwoLinesToOneServerShareOneBoundConnection) {
    FakeLdapServer a, b;
    refer_first_search(a, {url(b.port(), "/o=b1"), url(b.port(), "/o=b2")});
    b.accept()
        .expect(ldap::bind_request(3, 2, "", ""))
        .reply(ldap::bind_response(3, 0))
        .expect(search_request_bytes(2, "o=b1"))
        .expect(search_request_bytes(4, "o=b2"))
        .reply(ldap::search_done(2, 0))
        .delay(100ms)
        .reply({ldap::search_entry(4, "cn=y,o=b2", {}), ldap::search_done(4, 0)})
        .expect(ldap::unbind_request(5))
        .expect_close();
    LDAP *ld = start_search({&a, &b}, "o=a");
    ASSERT_NE(ld, nullptr);

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
    end_session(ld, {&a, &b});
    EXPECT_EQ(b.connections_accepted(), 1u);
}

TEST_F(ReferralTest, ChildrenOnTwoServersMergeTheirEntriesIntoOneChain) {
    FakeLdapServer a, b, c;
    refer_first_search(a, {url(b.port(), "/o=b"), url(c.port(), "/o=c")});
    // b answers at once; c is slow to accept the bind. Ids: 2 child b, 3 bind b, 4 child c, 5 bind c.
    b.accept()
        .expect(ldap::bind_request(3, 2, "", ""))
        .reply(ldap::bind_response(3, 0))
        .expect(search_request_bytes(2, "o=b"))
        .reply({ldap::search_entry(2, "cn=1,o=b", {}), ldap::search_done(2, 0)})
        .expect_close();
    c.accept()
        .expect(ldap::bind_request(5, 2, "", ""))
        .delay(100ms)
        .reply(ldap::bind_response(5, 0))
        .expect(search_request_bytes(4, "o=c"))
        .reply({ldap::search_entry(4, "cn=2,o=c", {}), ldap::search_entry(4, "cn=3,o=c", {}),
                ldap::search_done(4, 0)})
        .expect_close();
    LDAP *ld = start_search({&a, &b, &c}, "o=a");
    ASSERT_NE(ld, nullptr);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_count_entries(ld, chain), 3);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 0);
    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(connection_count(ld), 1);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    end_session(ld, {&a, &b, &c});
}

TEST_F(ReferralTest, ResultQueuedWhileBindingForAReferralIsHandedOut) {
    for (int32_t wanted : {2, -1}) {
        FakeLdapServer a, b;
        // Ids: 1 the search, 2 the delete, 3 the child, 4 the bind on b. The delete's result
        // arrives while the engine waits for b to accept the bind.
        accept_search_and_delete(a)
            .reply(ldap::search_done(1, 9, "", referral({url(b.port(), "/o=b")})))
            .delay(50ms)
            .reply(ldap::delete_response(2, 0))
            .expect_close();
        b.accept()
            .expect_request(ldap::op::bind_request, 4)
            .delay(200ms)
            .reply(ldap::bind_response(4, 0))
            .expect_request(ldap::op::search_request, 3)
            .hold();
        LDAP *ld = start_search({&a, &b}, "o=a");
        ASSERT_NE(ld, nullptr);
        ASSERT_EQ(send_delete(ld, "cn=x"), 2);
        LDAPMessage *result = nullptr;
        ASSERT_EQ(ldap_result(ld, wanted, 1, 3000, &result), LDAP_RES_DELETE) << "waiting for " << wanted;
        EXPECT_EQ(result->lm_id, 2);
        ldap_msgfree(ld->ld_pool, result);
        EXPECT_EQ(find_request_by_msgid(ld, 1)->rq_status, REQ_CHASING_REFERRALS);
        end_session(ld, {&a, &b}, Ending::free_silently);
    }
}

TEST_F(ReferralTest, UrlDnEndsAtTheQuestionMarkAndIsUnescaped) {
    FakeLdapServer a, b;
    refer_first_search(a, {url(b.port(), "/o=b%20c%2Cd??sub?(cn=*)"), url(b.port())});
    accept_bind(b, 3)
        .expect(search_request_bytes(2, "o=b c,d"))
        .expect(search_request_bytes(4, "o=a"))   // no DN in the URL: the request's own
        .reply({ldap::search_done(2, 0), ldap::search_done(4, 0)})
        .expect_close();
    LDAP *ld = start_search({&a, &b}, "o=a");
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), 0);
    end_session(ld, {&a, &b});
}

TEST_F(ReferralTest, FinalLineBreakDoesNotMakeTheResultPartial) {
    FakeLdapServer a, b;
    refer_first_search(a, {url(b.port(), "/o=b"), ""});
    accept_bind(b, 3).expect(search_request_bytes(2, "o=b")).reply(ldap::search_done(2, 0)).expect_close();
    LDAP *ld = start_search({&a, &b}, "o=a");
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), 0);
    EXPECT_STREQ(ld->ld_error, "");
    end_session(ld, {&a, &b});
}

TEST_F(ReferralTest, ReferredDeleteCarriesTheUrlDn) {
    FakeLdapServer a, b;
    a.accept()
        .expect(ldap::delete_request(1, "cn=x,o=a"))
        .reply(ldap::delete_response(1, 9, "", referral({url(b.port(), "/cn=y,o=b")})))
        .expect_close();
    accept_bind(b, 3).expect(ldap::delete_request(2, "cn=y,o=b")).reply(ldap::delete_response(2, 0)).expect_close();
    LDAP *ld = start_delete({&a, &b}, "cn=x,o=a");
    ASSERT_NE(ld, nullptr);
    LDAPMessage *result = result_of(ld, 1);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->lm_type, LDAP_RES_DELETE);
    EXPECT_EQ(ldap_result2error(ld, result, 1), 0);
    end_session(ld, {&a, &b});
}

TEST_F(ReferralTest, ReferredBindKeepsVersionAndCredentials) {
    FakeLdapServer a, b;
    a.accept()
        .expect(ldap::bind_request(1, 3, "cn=me,o=a", "pw"))
        .reply(ldap::bind_response(1, 9, "", referral({url(b.port(), "/cn=me,o=b")})))
        .expect_close();
    b.accept()
        .expect(ldap::bind_request(3, 3, "", ""))
        .reply(ldap::bind_response(3, 0))
        .expect(ldap::bind_request(2, 3, "cn=me,o=b", "pw"))
        .reply(ldap::bind_response(2, 0))
        .expect_close();
    LDAP *ld = start_session({&a, &b});
    ASSERT_NE(ld, nullptr);
    ld->ld_protocol_version = 3;
    EXPECT_EQ(ldap_simple_bind_s(ld, "cn=me,o=a", "pw"), 0);
    end_session(ld, {&a, &b});
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
    FakeLdapServer a, b;
    refer_first_search(a, {url(b.port(), "/o=b")});
    b.accept()
        .expect(ldap::bind_request(3, 2, "cn=ref,o=b", "refpw"))
        .reply(ldap::bind_response(3, 0))
        .expect_request(ldap::op::search_request, 2)
        .reply(ldap::search_done(2, 0))
        .expect_close();
    LDAP *ld = start_search({&a, &b}, "o=a", [](LDAP *session) { ldap_set_rebind_proc(session, supplying_rebind); });
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), 0);
    EXPECT_EQ(rebind_supplies, 1);
    EXPECT_EQ(rebind_releases, 1);
    end_session(ld, {&a, &b});
}

TEST_F(ReferralTest, RefusedRebindOrFailedBindLeavesTheLineUnfollowed) {
    FakeLdapServer a, b, c;
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", referral({url(b.port(), "/o=b")})))
        .expect_request(ldap::op::search_request, 3)
        .reply(ldap::search_done(3, 9, "", referral({url(c.port(), "/o=c")})))
        .expect_close();
    b.accept().expect_close();
    c.accept().expect(ldap::bind_request(5, 2, "", "")).reply(ldap::bind_response(5, 49)).expect_close();
    LDAP *ld = start_search({&a, &b, &c}, "o=a", [](LDAP *session) { ldap_set_rebind_proc(session, refusing_rebind); });
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), 50);
    EXPECT_STREQ(ld->ld_error, referral({url(b.port(), "/o=b")}).c_str());
    EXPECT_EQ(connection_count(ld), 1);

    // Without a procedure the bind is anonymous; the server refuses it.
    ldap_set_rebind_proc(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 3);
    EXPECT_EQ(error_of(ld, 3), 49);
    EXPECT_EQ(connection_count(ld), 1);
    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    end_session(ld, {&a, &b, &c});
    EXPECT_FALSE(b.unbind_received(0));
    EXPECT_FALSE(c.unbind_received(0));
}

// A referral connection takes requests only once its bind succeeded: a second referral to the
// same server, chased while the first bind waits, opens its own connection, and when the server
// refuses both binds both requests end at once with its code.
TEST_F(ReferralTest, RequestsReferredDuringABindEndWithTheBindsCode) {
    FakeLdapServer a, b;
    // Ids: 1 and 2 the searches, 3 the child of 1 and 4 its bind; 5 the child of 2 and 6 its bind.
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .expect_request(ldap::op::search_request, 2)
        .reply({ldap::search_done(1, 9, "", referral({url(b.port(), "/o=b")})),
                ldap::search_done(2, 9, "", referral({url(b.port(), "/o=b")}))})
        .expect_close();
    b.accept().answer_bind(49).accept().answer_bind(49).on_connection(0).expect_close().on_connection(1).expect_close();
    LDAP *ld = start_search({&a, &b}, "o=a");
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=a"), 2);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(error_of(ld, 1), 49);
    EXPECT_EQ(error_of(ld, 2), 49);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);   // not the time limit (5 s)
    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(connection_count(ld), 1);
    end_session(ld, {&a, &b});
}

// Requests waiting on a connection that ends all end with 81 at once, while waits for requests
// on other connections go on. (Without reconnecting, so that the end stays in view.)
TEST_F(ReferralTest, RequestsOnAnEndedConnectionAllEndAtOnce) {
    FakeLdapServer a, b;
    // Ids: 1 the search, 2 its child on b, 3 the bind; then 4 and 5 on a, which a never answers.
    a.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply(ldap::search_done(1, 9, "", referral({url(b.port(), "/o=b")})))
        .expect_request(ldap::op::delete_request, 4)
        .expect_request(ldap::op::delete_request, 5)
        .close();
    accept_bind(b, 3).expect_request(ldap::op::search_request, 2).reply(ldap::search_entry(2, "cn=x,o=b", {})).hold();
    LDAP *ld = start_search({&a, &b}, "o=a", [](LDAP *session) { session->ld_option_flags |= OPT_NO_RECONNECT; });
    ASSERT_NE(ld, nullptr);
    LDAPMessage *entry = nullptr;
    ASSERT_EQ(ldap_result(ld, 1, 0, 0, &entry), LDAP_RES_SEARCH_ENTRY);   // b is waited on from now
    ldap_msgfree(ld->ld_pool, entry);
    ASSERT_EQ(send_delete(ld, "cn=d"), 4);
    ASSERT_EQ(send_delete(ld, "cn=e"), 5);
    const auto started = std::chrono::steady_clock::now();
    for (int32_t id : {5, 4}) {
        LDAPMessage *result = nullptr;
        EXPECT_EQ(ldap_result(ld, id, 1, 0, &result), -1) << id;
        EXPECT_EQ(ld->ld_errno, LDAP_SERVER_DOWN) << id;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);   // not the time limit (5 s)
    EXPECT_EQ(pending_count(ld), 2);   // the search and its child, which b still owes
    EXPECT_EQ(send_delete(ld, "cn=f"), -1);   // nothing more goes out on the ended connection
    EXPECT_EQ(ld->ld_errno, LDAP_SERVER_DOWN);
    end_session(ld, {&a, &b}, Ending::free_silently);
}

// A server that refers every request back to itself: chasing stops at the hop limit, and the
// request ends as a partial result that lists the referral, never as "found nothing".
TEST_F(ReferralTest, ReferralLoopEndsAsAPartialResultWithItsUrl) {
    FakeLdapServer a;
    const std::string loop = url(a.port(), "/o=a");
    a.accept();
    for (int hop = 0; hop <= 5; ++hop) {
        a.expect_request(ldap::op::search_request).reply_with([&](const qortest::ReceivedRequest &request) {
            return ldap::search_done(request.id, 9, "", referral({loop}));
        });
    }
    a.expect_close();
    LDAP *ld = start_search({&a}, "o=a");
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), LDAP_PARTIAL_RESULTS);
    EXPECT_STREQ(ld->ld_error, referral({loop}).c_str());
    end_session(ld, {&a});
}

// A server that lists many URLs cannot make one request send more than 64 referral requests;
// the URLs beyond them stay unfollowed.
TEST_F(ReferralTest, AtMostSixtyFourReferralRequestsPerRequest) {
    FakeLdapServer a, b;
    std::vector<std::string> urls;
    for (int i = 0; i < 70; ++i) urls.push_back(url(b.port(), "/o=b" + std::to_string(i)));
    std::string text = "Referral:";
    for (const std::string &line : urls) text += "\n" + line;
    answer_first_search(a, ldap::search_done(1, 9, "", text));
    b.accept().answer_bind(0);
    for (int i = 0; i < 64; ++i) {
        b.expect_request(ldap::op::search_request).reply_with([](const qortest::ReceivedRequest &request) {
            return ldap::search_done(request.id, 0);
        });
    }
    b.expect_close();
    LDAP *ld = start_search({&a, &b}, "o=a");
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), LDAP_PARTIAL_RESULTS);
    std::string unfollowed = "Referral:";
    for (size_t i = 64; i < urls.size(); ++i) unfollowed += "\n" + urls[i];
    EXPECT_EQ(std::string(ld->ld_error), unfollowed);
    end_session(ld, {&a, &b});
}

TEST_F(ReferralTest, ResultWithoutMarkerIsNotChased) {
    FakeLdapServer a;
    answer_first_search(a, ldap::search_done(1, 32, "o=a", "Referral: ldap://127.0.0.1:1/o=b"));
    LDAP *ld = start_search({&a}, "o=a");
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), 32);
    EXPECT_STREQ(ld->ld_error, "Referral: ldap://127.0.0.1:1/o=b");
    EXPECT_EQ(connection_count(ld), 1);
    end_session(ld, {&a});
}

TEST_F(ReferralTest, ReferralsAreNotChasedWhenTheOptionIsOff) {
    FakeLdapServer a;
    std::string text = referral({"ldap://127.0.0.1:1/o=b"});
    answer_first_search(a, ldap::search_done(1, 9, "", text));
    LDAP *ld = start_search({&a}, "o=a", [](LDAP *session) { session->ld_option_flags &= ~OPT_CHASE_REFERRALS; });
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(error_of(ld, 1), 9);
    EXPECT_STREQ(ld->ld_error, text.c_str());
    end_session(ld, {&a});
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
