// Binds as the engine sends them: the request bytes, methods other than simple, and what the
// synchronous form answers when the request cannot go out or no result comes.
#include "engine_support.h"

namespace enginetest {
namespace {

class BindTest : public EngineTest {};

TEST_F(BindTest, NullDnAndPasswordAreSentAsEmptyStrings) {
    FakeLdapServer server;
    server.accept()
        .expect(ldap::bind_request(1, 2, "", ""))
        .reply(ldap::bind_response(1, 0))
        .expect(ldap::bind_request(2, 3, "cn=admin,o=example", "secret"))
        .reply(ldap::bind_response(2, 49, "", "bad password"))
        .expect_close();
    LDAP *ld = start_session({&server});
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(ldap_simple_bind_s(ld, nullptr, nullptr), 0);
    EXPECT_EQ(ld->ld_errno, 0);
    ld->ld_protocol_version = 3;
    EXPECT_EQ(ldap_bind_s(ld, "cn=admin,o=example", "secret", LDAP_AUTH_SIMPLE), 49);
    EXPECT_EQ(ld->ld_errno, 49);
    EXPECT_STREQ(ld->ld_error, "bad password");
    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1);
    end_session(ld, {&server});
}

TEST_F(BindTest, AsynchronousBindAnswersItsId) {
    FakeLdapServer server;
    server.accept()
        .expect(ldap::bind_request(1, 2, "cn=x", "pw"))
        .reply(ldap::bind_response(1, 0))
        .expect_close();
    LDAP *ld = start_session({&server});
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(ldap_bind(ld, "cn=x", "pw", LDAP_AUTH_SIMPLE), 1);
    LDAPMessage *result = nullptr;
    ASSERT_EQ(ldap_result(ld, 1, 1, 0, &result), LDAP_RES_BIND);
    EXPECT_EQ(ldap_result2error(ld, result, 1), 0);
    end_session(ld, {&server});
}

TEST_F(BindTest, OtherMethodsAreRefusedWithoutSendingOrUsingAnId) {
    FakeLdapServer server;
    server.accept().expect_close();
    LDAP *ld = start_session({&server});
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(ldap_bind_s(ld, "cn=x", "pw", 0), LDAP_AUTH_UNKNOWN);
    EXPECT_EQ(ld->ld_errno, LDAP_AUTH_UNKNOWN);
    EXPECT_EQ(ldap_bind(ld, "cn=x", "pw", 0x81), -1);
    EXPECT_EQ(ld->ld_errno, LDAP_AUTH_UNKNOWN);
    EXPECT_EQ(ld->ld_last_msgid, 0);
    EXPECT_EQ(pending_count(ld), 0);
    end_session(ld, {&server}, Ending::free_silently);
    EXPECT_TRUE(server.requests(0).empty());
}

TEST_F(BindTest, SynchronousBindWithoutAResultAnswersParamErrorAndKeepsTheCause) {
    // No connection: the request cannot be sent.
    LDAP *unconnected = ldap_init("127.0.0.1", dead_port());
    ASSERT_NE(unconnected, nullptr);
    EXPECT_EQ(ldap_simple_bind_s(unconnected, "cn=x", "pw"), LDAP_PARAM_ERROR);
    EXPECT_EQ(unconnected->ld_errno, LDAP_SERVER_DOWN);
    ldap_unbind(unconnected);

    // A server that never answers: the wait ends at the session's time limit.
    FakeLdapServer server;
    server.accept().expect_request(ldap::op::bind_request, 1).hold();
    LDAP *ld = start_session({&server}, 100);
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(ldap_simple_bind_s(ld, "cn=x", "pw"), LDAP_PARAM_ERROR);
    EXPECT_EQ(ld->ld_errno, LDAP_TIMEOUT);
    end_session(ld, {&server});
}

}  // namespace
}  // namespace enginetest
