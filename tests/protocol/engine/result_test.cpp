// Result reception: use counts of the default connection, interleaved answers queued and handed
// out by id, whole searches and single messages, time-outs, messages that are not results, and
// broken servers.
#include <chrono>
#include <string>
#include <vector>

#include "engine_support.h"

namespace enginetest {
namespace {

using namespace std::chrono_literals;
namespace ber = qortest::ber;

class ResultTest : public EngineTest {
protected:
    void TearDown() override {
        qorhost_set_read_timeout_ms(30000);
        EngineTest::TearDown();
    }
};

// Takes the next message of search 1 by itself (all = 0): an entry with DN `dn`, chained to
// nothing.
void take_entry(LDAP *ld, const char *dn) {
    LDAPMessage *message = nullptr;
    ASSERT_EQ(ldap_result(ld, 1, 0, 0, &message), LDAP_RES_SEARCH_ENTRY);
    EXPECT_EQ(message->lm_chain_next, nullptr);
    EXPECT_EQ(dn_of(ld, message), dn);
    ldap_msgfree(ld->ld_pool, message);
}

TEST_F(ResultTest, UseCountsFollowRequestsAndResults) {
    FakeLdapServer server;
    server.accept()
        .expect(ldap::delete_request(1, "cn=a"))
        .expect(ldap::delete_request(2, "cn=b"))
        .reply({ldap::delete_response(2, 0), ldap::delete_response(1, 32, "o=x", "no such")})
        .expect_close();
    LDAP *ld = start_session({&server});
    ASSERT_NE(ld, nullptr);
    LDAPConnection *conn = ld->ld_default_conn;
    EXPECT_EQ(conn->cn_use_count, 1);
    ASSERT_EQ(send_delete(ld, "cn=a"), 1);
    EXPECT_EQ(conn->cn_use_count, 2);
    ASSERT_EQ(send_delete(ld, "cn=b"), 2);
    EXPECT_EQ(conn->cn_use_count, 3);
    EXPECT_EQ(pending_count(ld), 2);

    LDAPMessage *result = nullptr;
    ASSERT_EQ(ldap_result(ld, 1, 1, 0, &result), LDAP_RES_DELETE);
    // The answer for 2 came first: it was read (its use released) and queued.
    EXPECT_EQ(conn->cn_use_count, 1);
    EXPECT_EQ(pending_count(ld), 0);
    ASSERT_NE(ld->ld_queued_responses, nullptr);
    EXPECT_EQ(ld->ld_queued_responses->lm_id, 2);
    EXPECT_EQ(result->lm_id, 1);
    EXPECT_EQ(ldap_result2error(ld, result, 1), 32);
    EXPECT_STREQ(ld->ld_matched, "o=x");
    EXPECT_STREQ(ld->ld_error, "no such");

    ASSERT_EQ(ldap_result(ld, 2, 1, 0, &result), LDAP_RES_DELETE);
    EXPECT_EQ(result->lm_id, 2);
    EXPECT_EQ(result->lm_list_next, nullptr);
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    EXPECT_EQ(ldap_result2error(ld, result, 1), 0);
    EXPECT_EQ(conn->cn_use_count, 1);
    EXPECT_EQ(ld->ld_connections, conn);
    end_session(ld, {&server});
}

TEST_F(ResultTest, InterleavedSearchesAreChainedPerId) {
    FakeLdapServer server;
    server.accept()
        .expect(search_request_bytes(1, "o=one"))
        .expect(search_request_bytes(2, "o=two"))
        .reply({ldap::search_entry(2, "cn=2a,o=two", {{"cn", {"2a"}}}),
                ldap::search_entry(1, "cn=1a,o=one", {}),
                ldap::search_entry(2, "cn=2b,o=two", {}),
                ldap::search_entry(1, "cn=1b,o=one", {}),
                ldap::search_entry(1, "cn=1c,o=one", {}),
                ldap::search_done(2, 0),
                ldap::search_done(1, 4)})
        .expect_close();
    LDAP *ld = start_search({&server}, "o=one");
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_search(ld, "o=two"), 2);

    LDAPMessage *chain = nullptr;
    ASSERT_EQ(ldap_result(ld, 1, 1, 0, &chain), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(chain->lm_type, LDAP_RES_SEARCH_ENTRY);
    EXPECT_EQ(ldap_count_entries(ld, chain), 3);
    LDAPMessage *entry = ldap_first_entry(ld, chain);
    EXPECT_EQ(dn_of(ld, entry), "cn=1a,o=one");
    entry = ldap_next_entry(ld, entry);
    EXPECT_EQ(dn_of(ld, entry), "cn=1b,o=one");
    entry = ldap_next_entry(ld, entry);
    EXPECT_EQ(dn_of(ld, entry), "cn=1c,o=one");
    EXPECT_EQ(ldap_next_entry(ld, entry), nullptr);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), 4);

    // The whole second search was queued meanwhile; it is handed out without the network.
    ASSERT_NE(ld->ld_queued_responses, nullptr);
    EXPECT_EQ(ld->ld_queued_responses->lm_list_next, nullptr);
    ASSERT_EQ(ldap_result(ld, 2, 1, 0, &chain), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(ldap_count_entries(ld, chain), 2);
    EXPECT_EQ(dn_of(ld, chain), "cn=2a,o=two");
    EXPECT_EQ(ldap_msgfree(ld->ld_pool, chain), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    end_session(ld, {&server});
}

TEST_F(ResultTest, AllZeroHandsOutOneMessageAtATime) {
    FakeLdapServer server;
    server.accept()
        .expect(search_request_bytes(1, "o=example"))
        .reply({ldap::search_entry(1, "cn=a", {}), ldap::search_entry(1, "cn=b", {}), ldap::search_done(1, 0)})
        .expect_close();
    LDAP *ld = start_search({&server}, "o=example");
    ASSERT_NE(ld, nullptr);
    for (const char *dn : {"cn=a", "cn=b"}) ASSERT_NO_FATAL_FAILURE(take_entry(ld, dn));
    LDAPMessage *done = nullptr;
    ASSERT_EQ(ldap_result(ld, -1, 0, 0, &done), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(done->lm_id, 1);
    EXPECT_EQ(ldap_count_entries(ld, done), 0);
    EXPECT_EQ(ldap_first_entry(ld, done), nullptr);
    ldap_msgfree(ld->ld_pool, done);
    end_session(ld, {&server});
}

TEST_F(ResultTest, AllZeroTakesQueuedEntriesOneByOne) {
    FakeLdapServer server;
    accept_search_and_delete(server)
        .reply({ldap::search_entry(1, "cn=a", {}), ldap::search_entry(1, "cn=b", {}), ldap::delete_response(2, 0)})
        .expect_close();
    LDAP *ld = start_queued_search({&server});
    ASSERT_NE(ld, nullptr);
    // Two entries of search 1 are queued as one chain.
    for (const char *dn : {"cn=a", "cn=b"}) ASSERT_NO_FATAL_FAILURE(take_entry(ld, dn));
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    end_session(ld, {&server});
}

TEST_F(ResultTest, QueuedSearchKeepsArrivalOrderWhenTakenInPartsAndCompleted) {
    FakeLdapServer server;
    accept_search_and_delete(server)
        .reply({ldap::search_entry(1, "cn=1", {}), ldap::search_entry(1, "cn=2", {}),
                ldap::search_entry(1, "cn=3", {}), ldap::delete_response(2, 0)})
        .delay(100ms)
        .reply({ldap::search_entry(1, "cn=4", {}), ldap::search_entry(1, "cn=5", {}), ldap::search_done(1, 0)})
        .expect_close();
    LDAP *ld = start_queued_search({&server});
    ASSERT_NE(ld, nullptr);

    // The first queued entry alone; the rest of the chain stays queued in order.
    LDAPMessage *message = nullptr;
    ASSERT_EQ(ldap_result(ld, 1, 0, 0, &message), LDAP_RES_SEARCH_ENTRY);
    EXPECT_EQ(dn_of(ld, message), "cn=1");
    EXPECT_EQ(message->lm_list_next, nullptr);
    EXPECT_EQ(message->lm_chain_next, nullptr);
    ldap_msgfree(ld->ld_pool, message);
    // The rest arrives and completes the search behind the queued entries.
    LDAPMessage *chain = nullptr;
    ASSERT_EQ(ldap_result(ld, 1, 1, 0, &chain), LDAP_RES_SEARCH_RESULT);
    std::vector<std::string> dns;
    for (LDAPMessage *m = chain; m != nullptr; m = m->lm_chain_next) {
        EXPECT_EQ(m->lm_list_next, nullptr);
        if (m->lm_type == LDAP_RES_SEARCH_ENTRY) dns.push_back(dn_of(ld, m));
    }
    EXPECT_EQ(dns, (std::vector<std::string>{"cn=2", "cn=3", "cn=4", "cn=5"}));
    EXPECT_EQ(ldap_count_entries(ld, chain), 4);
    ldap_msgfree(ld->ld_pool, chain);
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    end_session(ld, {&server});
}

TEST_F(ResultTest, WaitEndsAfterTheTimeoutOrTheTimeLimit) {
    FakeLdapServer server;
    server.accept().expect_request(ldap::op::search_request, 1).hold();
    LDAP *ld = start_search({&server}, "o=example", [](LDAP *session) { session->ld_timelimit = 0; });
    ASSERT_NE(ld, nullptr);
    LDAPMessage *message = reinterpret_cast<LDAPMessage *>(1);
    EXPECT_EQ(ldap_result(ld, 1, 1, 100, &message), 0);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(ld->ld_errno, LDAP_TIMEOUT);
    // Timeout 0 takes the session's time limit.
    ld->ld_timelimit = 100;
    ld->ld_errno = 0;
    EXPECT_EQ(ldap_result(ld, 1, 1, 0, &message), 0);
    EXPECT_EQ(ld->ld_errno, LDAP_TIMEOUT);
    EXPECT_EQ(pending_count(ld), 1);
    end_session(ld, {&server});
}

TEST_F(ResultTest, TheLimitRunsOutWhileOtherMessagesKeepArriving) {
    // Answers to an unknown request trickle in for three seconds, one every 0.4 ms: every round
    // of the wait is shorter than a millisecond, and those fractions must still use up the limit.
    constexpr std::size_t kMessages = 7500;
    const Bytes unknown = ldap::delete_response(77, 0);
    Bytes stream;
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < kMessages; ++i) {
        if (i > 0) cuts.push_back(stream.size());
        stream.insert(stream.end(), unknown.begin(), unknown.end());
    }
    FakeLdapServer server;
    server.accept().expect_request(ldap::op::search_request, 1).reply_in_pieces(std::move(stream), cuts, 400us).hold();
    LDAP *ld = start_search({&server}, "o=example", [](LDAP *session) { session->ld_timelimit = 0; });
    ASSERT_NE(ld, nullptr);
    LDAPMessage *message = nullptr;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ldap_result(ld, 1, 1, 100, &message), 0);
    EXPECT_EQ(ld->ld_errno, LDAP_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
    end_session(ld, {&server}, Ending::free_silently);
}

TEST_F(ResultTest, WithoutTimeLimitTheWaitLastsUntilTheAnswer) {
    FakeLdapServer server;
    server.accept()
        .expect_request(ldap::op::delete_request, 1)
        .delay(300ms)
        .reply(ldap::delete_response(1, 0))
        .expect_close();
    LDAP *ld = start_delete({&server}, "cn=a", [](LDAP *session) { session->ld_timelimit = 0; });
    ASSERT_NE(ld, nullptr);
    take_result(ld, 1, LDAP_RES_DELETE);
    end_session(ld, {&server});
}

// Notices of disconnection and search references are not dropped: see the version-3 tests.
TEST_F(ResultTest, UnknownIdsOtherNoticesAndIntermediatesAreDropped) {
    FakeLdapServer server;
    server.accept()
        .expect_request(ldap::op::search_request, 1)
        .reply({ldap::extended_response(0, 0, "", "", "1.2.3.4"),
                ldap::delete_response(77, 0),
                ldap::intermediate_response(1, "1.2.3", "v"),
                ldap::search_entry(1, "cn=a", {}),
                ldap::search_done(1, 0)})
        .expect_close();
    LDAP *ld = start_search({&server}, "o=example", [](LDAP *session) { session->ld_protocol_version = 3; });
    ASSERT_NE(ld, nullptr);
    LDAPMessage *chain = nullptr;
    ASSERT_EQ(ldap_result(ld, 1, 1, 0, &chain), LDAP_RES_SEARCH_RESULT);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_count_entries(ld, chain), 1);
    ASSERT_NE(chain->lm_chain_next, nullptr);
    EXPECT_EQ(chain->lm_chain_next->lm_type, LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(chain->lm_chain_next->lm_chain_next, nullptr);
    ldap_msgfree(ld->ld_pool, chain);
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    end_session(ld, {&server});
}

TEST_F(ResultTest, MalformedMessagesGiveLocalAndDecodingErrors) {
    FakeLdapServer server;
    server.accept()
        .expect_request(ldap::op::delete_request, 1)
        .reply(ber::octets("not a message"))
        .reply(ber::sequence({ber::integer(1LL << 33), ber::constructed(0x6b, {})}))
        .reply(ldap::delete_response(1, 0))
        .expect_close();
    LDAP *ld = start_delete({&server}, "cn=a");
    ASSERT_NE(ld, nullptr);
    long before = live_blocks(ld);
    LDAPMessage *message = nullptr;
    EXPECT_EQ(ldap_result(ld, 1, 1, 0, &message), -1);
    EXPECT_EQ(ld->ld_errno, LDAP_LOCAL_ERROR);
    long after_first = live_blocks(ld);
    EXPECT_EQ(ldap_result(ld, 1, 1, 0, &message), -1);
    EXPECT_EQ(ld->ld_errno, LDAP_DECODING_ERROR);
    // The broken messages leave nothing behind (the first read made the read-ahead buffer).
    EXPECT_EQ(live_blocks(ld), after_first);
    EXPECT_LE(after_first - before, 1);
    // The stream stays usable: the real answer still arrives.
    take_result(ld, 1, LDAP_RES_DELETE);
    end_session(ld, {&server});
}

// A message whose operation is no application tag would be handed out as type 0 (read as a
// time-out) or as a negative type; it is a decoding error instead, and the stream goes on.
TEST_F(ResultTest, OperationTagsOutsideTheApplicationClassAreDecodingErrors) {
    FakeLdapServer server;
    server.accept()
        .expect_request(ldap::op::delete_request, 1)
        .reply(ber::sequence({ber::integer(1), ber::octets("", 0x00)}))
        .reply(ber::sequence({ber::integer(1), ber::octets("x")}))
        .reply(ber::sequence({ber::integer(1), qortest::hex("bf 81 82 03 00")}))
        .reply(ber::sequence({ber::integer(1), ber::constructed(0xa1, {})}))
        .reply(ldap::delete_response(1, 0))
        .expect_close();
    LDAP *ld = start_delete({&server}, "cn=a");
    ASSERT_NE(ld, nullptr);
    for (int i = 0; i < 4; ++i) {
        LDAPMessage *message = nullptr;
        EXPECT_EQ(ldap_result(ld, 1, 1, 0, &message), -1) << "message " << i;
        EXPECT_EQ(message, nullptr) << "message " << i;
        EXPECT_EQ(ld->ld_errno, LDAP_DECODING_ERROR) << "message " << i;
    }
    EXPECT_EQ(pending_count(ld), 1);
    take_result(ld, 1, LDAP_RES_DELETE);
    end_session(ld, {&server});
}

TEST_F(ResultTest, ServerStoppingMidMessageGivesServerDownAfterTheReadLimit) {
    qorhost_set_read_timeout_ms(200);
    Bytes answer = ldap::delete_response(1, 0);
    FakeLdapServer server;
    server.accept().expect_request(ldap::op::delete_request, 1).reply(Bytes(answer.begin(), answer.begin() + 5)).hold();
    LDAP *ld = start_delete({&server}, "cn=a");
    ASSERT_NE(ld, nullptr);
    LDAPMessage *message = nullptr;
    EXPECT_EQ(ldap_result(ld, 1, 1, 0, &message), -1);
    EXPECT_EQ(ld->ld_errno, LDAP_SERVER_DOWN);
    // The broken connection is no longer waited on: the next wait fails at once.
    EXPECT_EQ(ldap_result(ld, 1, 1, 0, &message), -1);
    EXPECT_EQ(ld->ld_errno, LDAP_SERVER_DOWN);
    end_session(ld, {&server});
}

TEST_F(ResultTest, ServerClosingMidMessageGivesServerDown) {
    FakeLdapServer server;
    server.accept().expect_request(ldap::op::delete_request, 1).close_mid_message(ldap::delete_response(1, 0), 6);
    LDAP *ld = start_delete({&server}, "cn=a");
    ASSERT_NE(ld, nullptr);
    LDAPMessage *message = nullptr;
    EXPECT_EQ(ldap_result(ld, 1, 1, 0, &message), -1);
    EXPECT_EQ(ld->ld_errno, LDAP_SERVER_DOWN);
    end_session(ld, {&server});
}

TEST_F(ResultTest, SecondResultForACompletedRequestIsDropped) {
    FakeLdapServer server;
    server.accept()
        .expect_request(ldap::op::delete_request, 1)
        .reply({ldap::delete_response(1, 0), ldap::delete_response(1, 53)})
        .expect_request(ldap::op::delete_request, 2)
        .reply(ldap::delete_response(2, 0))
        .expect_close();
    LDAP *ld = start_delete({&server}, "cn=a");
    ASSERT_NE(ld, nullptr);
    LDAPMessage *message = nullptr;
    ASSERT_EQ(ldap_result(ld, 1, 1, 0, &message), LDAP_RES_DELETE);
    EXPECT_EQ(ldap_result2error(ld, message, 1), 0);
    ASSERT_EQ(send_delete(ld, "cn=b"), 2);
    ASSERT_EQ(ldap_result(ld, -1, 1, 0, &message), LDAP_RES_DELETE);
    EXPECT_EQ(message->lm_id, 2);
    ldap_msgfree(ld->ld_pool, message);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    end_session(ld, {&server});
}

TEST_F(ResultTest, MsgdeleteRemovesTheFirstQueuedChainOfAnId) {
    FakeLdapServer server;
    accept_search_and_delete(server)
        .expect_request(ldap::op::delete_request, 3)
        .reply({ldap::search_entry(1, "cn=a", {}), ldap::delete_response(2, 0), ldap::delete_response(3, 0)})
        .expect_close();
    LDAP *ld = start_search({&server}, "o=example");
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_delete(ld, "cn=b"), 2);
    ASSERT_EQ(send_delete(ld, "cn=c"), 3);
    take_result(ld, 3, LDAP_RES_DELETE);
    EXPECT_EQ(ldap_msgdelete(ld, 1), -1);   // ends with an entry: removed, answer -1
    EXPECT_EQ(ldap_msgdelete(ld, 2), 0);
    EXPECT_EQ(ldap_msgdelete(ld, 2), -1);   // nothing left
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    EXPECT_EQ(ldap_msgfree(ld->ld_pool, nullptr), 0);
    end_session(ld, {&server});
}

}  // namespace
}  // namespace enginetest
