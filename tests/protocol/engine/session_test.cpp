// Opening and closing sessions: defaults of a new handle, host lists, connection failures, and
// teardown with and without unbind requests.
#include <string>

#include "engine_support.h"

namespace enginetest {
namespace {

class SessionTest : public EngineTest {};

TEST_F(SessionTest, InitSetsDefaultsAndMakesNoConnection) {
    LDAP *ld = ldap_init("directory.example", 0);
    ASSERT_NE(ld, nullptr);
    EXPECT_STREQ(ld->ld_default_host, "directory.example");
    EXPECT_EQ(ld->ld_default_port, 8001);
    EXPECT_EQ(ld->ld_option_flags, OPT_CHASE_REFERRALS);
    EXPECT_EQ(ld->ld_referral_hop_limit, 5);
    EXPECT_EQ(ld->ld_ber_options, 5);
    EXPECT_EQ(ld->ld_protocol_version, 2);
    EXPECT_NE(ld->ld_encode_translator, nullptr);
    EXPECT_NE(ld->ld_decode_translator, nullptr);
    EXPECT_EQ(ld->ld_connections, nullptr);
    EXPECT_EQ(ld->ld_default_conn, nullptr);
    EXPECT_EQ(ldap_unbind(ld), 0);

    LDAP *null_host = ldap_init(nullptr, 389);
    ASSERT_NE(null_host, nullptr);
    EXPECT_EQ(null_host->ld_default_host, nullptr);
    EXPECT_EQ(null_host->ld_default_port, 389);
    EXPECT_EQ(ldap_unbind(null_host), 0);
}

TEST_F(SessionTest, OpenWithNullHostConnectsToLoopbackAndHoldsOneUse) {
    FakeLdapServer server;
    server.accept().expect_close();
    server.start();
    LDAP *ld = ldap_open(nullptr, server.port());
    ASSERT_NE(ld, nullptr);
    ASSERT_NE(ld->ld_default_conn, nullptr);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    EXPECT_EQ(ld->ld_default_conn->cn_state, CONN_CONNECTED);
    EXPECT_EQ(ld->ld_default_conn->cn_sockbuf, &ld->ld_sockbuf);
    EXPECT_EQ(ld->ld_connections, ld->ld_default_conn);
    EXPECT_EQ(ld->ld_default_conn->cn_next, nullptr);
    end_session(ld, {&server});
    EXPECT_EQ(server.connections_accepted(), 1u);
}

TEST_F(SessionTest, HostListTriesEachEntryInOrderAndLeavesTheTextAlone) {
    FakeLdapServer server;
    server.accept().expect_close();
    server.start();
    // A bare entry at the default (dead) port, two blanks, then an entry with its own port.
    std::string hosts = "127.0.0.1  127.0.0.1:" + std::to_string(server.port());
    LDAP *ld = ldap_open(hosts.c_str(), dead_port());
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(std::string(ld->ld_default_host), hosts);
    EXPECT_EQ(std::string(ld->ld_default_conn->cn_server->sv_host), hosts);
    end_session(ld, {&server});
    EXPECT_EQ(server.connections_accepted(), 1u);
}

TEST_F(SessionTest, OpenLdapConnectionParsesEntries) {
    LDAP *ld = ldap_init(nullptr, 0);
    ASSERT_NE(ld, nullptr);
    FakeLdapServer server;
    server.accept().expect_close().accept().expect_close().accept().expect_close();
    server.start();
    LDAPSocketBuffer sb{};
    std::string port = std::to_string(server.port());

    // An entry ending with a colon is port 0; a leading blank is an empty entry; both fail.
    EXPECT_EQ(open_ldap_connection(ld, &sb, "127.0.0.1:", server.port()), -1);
    EXPECT_EQ(open_ldap_connection(ld, &sb, "", server.port()), -1);
    std::string list = " 127.0.0.1:" + port + "   ";
    EXPECT_EQ(open_ldap_connection(ld, &sb, list.c_str(), dead_port()), 0);
    close_connection(&sb);
    EXPECT_EQ(open_ldap_connection(ld, &sb, nullptr, server.port()), 0);
    close_connection(&sb);
    // An entry too long to be a host name is skipped, and the next one is tried.
    std::string long_then_good = std::string(300, 'h') + " 127.0.0.1:" + port;
    EXPECT_EQ(open_ldap_connection(ld, &sb, long_then_good.c_str(), dead_port()), 0);
    close_connection(&sb);
    server.finish();
    EXPECT_EQ(server.connections_accepted(), 3u);
    ldap_ld_free(ld, 0);
}

TEST_F(SessionTest, OpenToUnreachableServerGivesNullAndLeavesNoPool) {
    EXPECT_EQ(ldap_open("127.0.0.1", dead_port()), nullptr);
    std::string two_dead = "127.0.0.1:" + std::to_string(dead_port()) + " 127.0.0.1";
    EXPECT_EQ(ldap_open(two_dead.c_str(), dead_port()), nullptr);
}

TEST_F(SessionTest, UnbindSendsOneUnbindWithTheNextIdAndCloses) {
    FakeLdapServer server;
    server.accept()
        .expect(ldap::delete_request(1, "cn=a,o=example"))
        .reply(ldap::delete_response(1, ldap::code::success))
        .expect(ldap::unbind_request(2))
        .expect_close();
    LDAP *ld = start_delete({&server}, "cn=a,o=example");
    ASSERT_NE(ld, nullptr);
    take_result(ld, 1, LDAP_RES_DELETE);
    EXPECT_EQ(ldap_unbind_s(ld), 0);
    server.finish();
    EXPECT_TRUE(server.unbind_before_close(0));
    EXPECT_EQ(server.requests(0).size(), 2u);
}

TEST_F(SessionTest, FreeWithoutUnbindClosesSilentlyAndReleasesPendingWork) {
    FakeLdapServer server;
    server.accept().expect_request(ldap::op::search_request, 1).expect_close();
    LDAP *ld = start_search({&server}, "o=example");
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(pending_count(ld), 1);
    EXPECT_EQ(ldap_ld_free(ld, 0), 0);
    server.finish();
    EXPECT_FALSE(server.unbind_received(0));
    EXPECT_TRUE(server.client_closed(0));
}

TEST_F(SessionTest, FirstRequestIsIdOneAndFailedIdsAreNotReused) {
    LDAP *ld = ldap_init("127.0.0.1", dead_port());
    ASSERT_NE(ld, nullptr);
    // No connection: the request cannot go out, yet its id stays used.
    EXPECT_EQ(send_delete(ld, "cn=a"), -1);
    EXPECT_EQ(ld->ld_errno, LDAP_SERVER_DOWN);
    EXPECT_EQ(ld->ld_last_msgid, 1);
    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(send_delete(ld, "cn=b"), -1);
    EXPECT_EQ(ld->ld_last_msgid, 2);
    ldap_unbind(ld);
}

}  // namespace
}  // namespace enginetest
