// A session whose connection ends opens a new one to its host list with the next request, bound
// as before; the request in flight when the connection ended is never sent again.
#include "engine_support.h"

namespace enginetest {
namespace {

constexpr const char *kDn = "cn=admin,o=example";
constexpr const char *kPassword = "secret";

class ReconnectTest : public EngineTest {};

// A session on the blank-separated `hosts`, bound as kDn with protocol version 3 (id 1).
LDAP *bound_session(const std::string &hosts, uint32_t extra_options = 0) {
    LDAP *ld = ldap_init(hosts.c_str(), 0);
    if (ld == nullptr) return nullptr;
    ld->ld_timelimit = 5000;
    ld->ld_protocol_version = 3;
    ld->ld_option_flags |= extra_options;
    EXPECT_EQ(open_default_connection(ld), 0);
    EXPECT_EQ(ldap_simple_bind_s(ld, kDn, kPassword), LDAP_SUCCESS);
    return ld;
}

// Scripts `server` to take a connection and accept the session's bind as request `id` on it.
FakeLdapServer &accept_session_bind(FakeLdapServer &server, std::int64_t id, int code = ldap::code::success) {
    return server.accept().expect(ldap::bind_request(id, 3, kDn, kPassword)).reply(ldap::bind_response(id, code));
}

// The search of id 2 answered on `a`, which then stops for good (its port refuses from now on).
LDAP *session_whose_first_server_went(FakeLdapServer &a, FakeLdapServer &b, uint32_t extra_options = 0) {
    accept_session_bind(a, 1).expect(search_request_bytes(2, "o=example")).reply(ldap::search_done(2, 0));
    a.start();
    b.start();
    LDAP *ld = bound_session(a.host_port() + " " + b.host_port(), extra_options);
    take_result(ld, send_search(ld, "o=example"), LDAP_RES_SEARCH_RESULT);
    a.finish();
    return ld;
}

// Ids from here: 3 the next search, 4 the bind of the connection it opens.
TEST_F(ReconnectTest, AnIdleConnectionTheServerClosedIsReplacedByTheNextReachableServer) {
    FakeLdapServer a, b;
    accept_session_bind(b, 4).expect(search_request_bytes(3, "o=example")).reply(ldap::search_done(3, 0)).expect_close();
    LDAP *ld = session_whose_first_server_went(a, b);
    take_result(ld, send_search(ld, "o=example"), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(ld->ld_reconnects, 1);
    EXPECT_EQ(connection_count(ld), 1);
    end_session(ld, {&b});
}

// A notice of disconnection that came with the last answer closes the connection to new
// requests: the next one goes out on a new connection.
TEST_F(ReconnectTest, ANoticeOfDisconnectionMakesTheNextRequestReconnect) {
    FakeLdapServer a;
    accept_session_bind(a, 1)
        .expect(search_request_bytes(2, "o=example"))
        .reply({ldap::search_done(2, 0), ldap::notice_of_disconnection()})
        .expect_close();
    accept_session_bind(a, 4).expect(search_request_bytes(3, "o=example")).reply(ldap::search_done(3, 0)).expect_close();
    a.start();
    LDAP *ld = bound_session(a.host_port());
    take_result(ld, send_search(ld, "o=example"), LDAP_RES_SEARCH_RESULT);
    take_result(ld, send_search(ld, "o=example"), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(ld->ld_reconnects, 1);
    end_session(ld, {&a});
}

// A delete in flight when its connection ends answers 81; the next request reconnects to the
// same server, and the delete is not among what the new connection carries.
TEST_F(ReconnectTest, TheRequestInFlightEndsWith81AndIsNeverSentAgain) {
    FakeLdapServer a;
    accept_session_bind(a, 1).expect(ldap::delete_request(2, "cn=d")).close();
    accept_session_bind(a, 4).expect(ldap::delete_request(3, "cn=e")).reply(ldap::delete_response(3, 0)).expect_close();
    a.start();
    LDAP *ld = bound_session(a.host_port());
    ASSERT_EQ(send_delete(ld, "cn=d"), 2);
    LDAPMessage *result = nullptr;
    EXPECT_EQ(ldap_result(ld, 2, 1, 0, &result), -1);
    EXPECT_EQ(ld->ld_errno, LDAP_SERVER_DOWN);
    take_result(ld, send_delete(ld, "cn=e"), LDAP_RES_DELETE);
    EXPECT_EQ(pending_count(ld), 0);
    end_session(ld, {&a});
}

// The first reconnect's bind is refused: the search that wanted it answers 81 unsent, nothing
// is tried again meanwhile, and the next search reconnects (ids 5 and 6).
TEST_F(ReconnectTest, AFailedReconnectAnswers81AndTheNextRequestTriesAgain) {
    FakeLdapServer a, b;
    accept_session_bind(b, 4, ldap::code::invalid_credentials).expect_close();
    accept_session_bind(b, 6).expect(search_request_bytes(5, "o=example")).reply(ldap::search_done(5, 0)).expect_close();
    LDAP *ld = session_whose_first_server_went(a, b);
    EXPECT_EQ(send_search(ld, "o=example"), -1);
    EXPECT_EQ(ld->ld_errno, LDAP_SERVER_DOWN);
    EXPECT_EQ(b.connections_accepted(), 1u);
    take_result(ld, send_search(ld, "o=example"), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(ld->ld_reconnects, 1);
    end_session(ld, {&b});
}

// Without reconnecting, the ended connection stays the session's: every request answers 81 and
// no other server is tried (b expects nothing).
TEST_F(ReconnectTest, WithoutReconnectEveryRequestAnswers81) {
    FakeLdapServer a, b;
    LDAP *ld = session_whose_first_server_went(a, b, OPT_NO_RECONNECT);
    for (int request = 0; request < 2; ++request) {
        const int32_t id = send_search(ld, "o=example");
        LDAPMessage *result = nullptr;
        if (id != -1) {
            EXPECT_EQ(ldap_result(ld, id, 1, 0, &result), -1);
        }
        EXPECT_EQ(ld->ld_errno, LDAP_SERVER_DOWN) << "request " << request;
    }
    EXPECT_EQ(ld->ld_reconnects, 0);
    end_session(ld, {&b}, Ending::free_silently);
}

}  // namespace
}  // namespace enginetest
