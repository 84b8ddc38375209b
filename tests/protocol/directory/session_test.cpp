// Opening and closing sessions against the scripted server: the version-3 bind and the fall
// back to version 2, binds refused both ways, a missing base DN found only after the bind, no
// host, no server, and the settings dsopen and dsopt leave in the session.
#include <cstring>
#include <optional>

#include "protocol_fixture.h"
#include "tests/support/loopback.h"

namespace {

using namespace dstest;

class SessionProtocolTest : public DirectoryProtocolTest {};

TEST_F(SessionProtocolTest, VersionThreeRefusedThenVersionTwoAccepted) {
    server_.accept()
        .expect(ldap::bind_request(1, 3, "cn=u,o=x", "pw"))
        .reply(ldap::bind_response(1, ldap::code::protocol_error, "", "version 3 not supported"))
        .expect(ldap::bind_request(2, 2, "cn=u,o=x", "pw"))
        .reply(ldap::bind_response(2, ldap::code::success));
    server_.start();
    ASSERT_EQ(ds_.dsopen(&ld_, "127.0.0.1", server_.port(), DS_OPT_CHASE_REFERRALS, "o=x", "cn=u,o=x", "pw"), DS_OK);
    ASSERT_NE(ld_, nullptr);
    EXPECT_EQ(ld_->ld_protocol_version, 2);
    EXPECT_EQ(ld_->ld_timelimit, 30000);
    EXPECT_EQ(ld_->ld_sizelimit, 0);
    EXPECT_EQ(ld_->ld_option_flags, static_cast<uint32_t>(DS_OPT_CHASE_REFERRALS));
    EXPECT_STREQ(ld_->ld_defbase, "o=x");
}

TEST_F(SessionProtocolTest, BindRefusedBothWaysClosesEverything) {
    server_.accept()
        .expect(ldap::bind_request(1, 3, "cn=u,o=x", "wrong"))
        .reply(ldap::bind_response(1, ldap::code::invalid_credentials))
        .expect(ldap::bind_request(2, 2, "cn=u,o=x", "wrong"))
        .reply(ldap::bind_response(2, ldap::code::invalid_credentials))
        .expect_close();
    server_.start();
    const long pools = qorhost_live_pools();
    LDAP *session = nullptr;
    EXPECT_EQ(ds_.dsopen(&session, "127.0.0.1", server_.port(), 0, "o=x", "cn=u,o=x", "wrong"),
              DS_INVALID_CREDENTIALS);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(qorhost_live_pools(), pools);
    server_.finish();
    EXPECT_TRUE(server_.client_closed(0));
}

// Asked to, dsopen keeps the session of a refused bind so that the server's words can be read;
// dsclose then ends it as any other.
TEST_F(SessionProtocolTest, RefusedBindKeepsTheSessionWhenAskedTo) {
    constexpr int kUnwillingToPerform = 53;
    const char *words = "unauthenticated bind (DN with no password) disallowed";
    server_.accept()
        .expect(ldap::bind_request(1, 3, "cn=u,o=x", ""))
        .reply(ldap::bind_response(1, kUnwillingToPerform, "", words))
        .expect(ldap::bind_request(2, 2, "cn=u,o=x", ""))
        .reply(ldap::bind_response(2, kUnwillingToPerform, "", words))
        .expect_close();
    server_.start();
    const long pools = qorhost_live_pools();
    LDAP *session = nullptr;
    EXPECT_EQ(ds_.dsopen(&session, "127.0.0.1", server_.port(), DS_OPT_KEEP_FAILED_BIND, "o=x", "cn=u,o=x", nullptr),
              DS_STATUS(kUnwillingToPerform));
    ASSERT_NE(session, nullptr);
    const char *message = ds_.dsgeterr(session);
    ASSERT_NE(message, nullptr);
    EXPECT_NE(std::strstr(message, words), nullptr) << message;
    EXPECT_EQ(ds_.dsclose(session), DS_OK);
    EXPECT_EQ(qorhost_live_pools(), pools);
    server_.finish();
    EXPECT_TRUE(server_.client_closed(0));
}

TEST_F(SessionProtocolTest, MissingBaseIsFoundAfterTheBindAndClosesTheSession) {
    expect_open().expect_close();
    server_.start();
    const long pools = qorhost_live_pools();
    LDAP *session = nullptr;
    EXPECT_EQ(ds_.dsopen(&session, "127.0.0.1", server_.port(), 0, nullptr, nullptr, nullptr), DS_NO_BASE_DN);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(qorhost_live_pools(), pools);
    server_.finish();
    EXPECT_EQ(server_.requests(0).size(), 2u);   // the bind, then the unbind
    EXPECT_TRUE(server_.unbind_before_close(0));
}

TEST_F(SessionProtocolTest, EmptyBaseArgumentIsABase) {
    expect_open();
    open("");
    EXPECT_STREQ(ld_->ld_defbase, "");
}

TEST_F(SessionProtocolTest, NoHostOpensNothing) {
    server_.start();
    const long pools = qorhost_live_pools();
    LDAP *session = nullptr;
    EXPECT_EQ(ds_.dsopen(&session, nullptr, server_.port(), 0, "o=x", nullptr, nullptr), DS_NO_HOST);
    EXPECT_EQ(ds_.dsopen(&session, "", server_.port(), 0, "o=x", nullptr, nullptr), DS_NO_HOST);
    EXPECT_EQ(ds_.dsopen(nullptr, "127.0.0.1", server_.port(), 0, "o=x", nullptr, nullptr), DS_MISSING_ARGUMENT);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(qorhost_live_pools(), pools);
    server_.finish();
    EXPECT_EQ(server_.connections_accepted(), 0u);
}

TEST_F(SessionProtocolTest, NoServerListening) {
    const long pools = qorhost_live_pools();
    LDAP *session = nullptr;
    EXPECT_EQ(ds_.dsopen(&session, "127.0.0.1", qortest::free_loopback_port(), 0, "o=x", nullptr, nullptr),
              DS_NO_CONNECTION);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(qorhost_live_pools(), pools);
}

TEST_F(SessionProtocolTest, OptionsChangeOnlyWhatIsGiven) {
    expect_open()
        .expect(search(2, "o=x", 0, ldap::filter::present("cn")))
        .reply(ldap::search_done(2, 0));
    open();
    ds_.dsopt(ld_, -1, -1, -1, nullptr);
    EXPECT_EQ(ld_->ld_timelimit, 30000);
    EXPECT_EQ(ld_->ld_sizelimit, 0);
    EXPECT_EQ(ld_->ld_option_flags, 0u);
    EXPECT_STREQ(ld_->ld_defbase, "o=x");

    ds_.dsopt(ld_, 5, 10, DS_OPT_RESOLVE_BASE, "ou=y,o=x");
    EXPECT_EQ(ld_->ld_timelimit, 5000);
    EXPECT_EQ(ld_->ld_sizelimit, 10);
    EXPECT_EQ(ld_->ld_option_flags, static_cast<uint32_t>(DS_OPT_RESOLVE_BASE));
    EXPECT_STREQ(ld_->ld_defbase, "ou=y,o=x");
    ds_.dsopt(ld_, 2000000000, -1, -1, nullptr);   // held at the largest, never overflowing
    EXPECT_GT(ld_->ld_timelimit, 2000000000);
    ds_.dsopt(ld_, 30, 0, -1, "o=x");

    // A base that cannot be copied leaves the session without one; dsreslv then says so.
    const long before = live_blocks();
    {
        qortest::FailAllocations fail(1);
        ds_.dsopt(ld_, -1, -1, -1, "o=elsewhere");
    }
    EXPECT_EQ(ld_->ld_defbase, nullptr);
    EXPECT_EQ(live_blocks(), before - 1);
    dsent **set = nullptr;
    EXPECT_EQ(ds_.dsreslv(ld_, "cn=*", nullptr, &set), DS_NO_BASE_DN);

    ds_.dsopt(ld_, -1, -1, -1, "o=x");
    EXPECT_EQ(ds_.dsreslv(ld_, "cn=*", nullptr, &set), DS_OK);
    EXPECT_EQ(set, nullptr);
    ds_.dsopt(nullptr, 1, 1, 1, "o=x");   // ignored
}

TEST_F(SessionProtocolTest, CloseAndErrorTextsWithoutSession) {
    EXPECT_EQ(ds_.dsclose(nullptr), DS_OK);
    EXPECT_EQ(ds_.dsgeterr(nullptr), nullptr);
    char buffer[64] = {};
    EXPECT_EQ(ds_.dsmynod(buffer, sizeof buffer), buffer);
    EXPECT_GT(std::strlen(buffer), 0u);
}

}  // namespace

// The C++ owners never free into a pool that has gone: reopening a session (or destroying it)
// first releases the result sets and attribute lists made on it, which then hold nothing.
TEST_F(SessionProtocolTest, OwnersReleaseWhatTheyHoldBeforeTheirSessionCloses) {
    expect_open()
        .expect(read_entry(2, "cn=a,o=x"))
        .reply({ldap::search_entry(2, "cn=a,o=x", {{"cn", {"a"}}}), ldap::search_done(2, 0)});
    server_.accept().expect(ldap::bind_request(1, 3, "", "")).reply(ldap::bind_response(1, 0));
    server_.start();
    const long pools = qorhost_live_pools();
    {
        std::optional<qorldap::ResultSet> outliving;
        {
            qorldap::Session session(ds_);
            ASSERT_EQ(session.open("127.0.0.1", server_.port(), 0, "o=x"), DS_OK);
            qorldap::ResultSet set(session);
            ASSERT_EQ(set.resolve_dn("cn=a,o=x"), DS_OK);
            ASSERT_EQ(set.size(), 1u);
            qorldap::AttributeList list(session, ds_.dsmkatt(session.get(), "cn", 1, DSVAL_TEXT, "b"));
            ASSERT_TRUE(list);
            ASSERT_EQ(session.open("127.0.0.1", server_.port(), 0, "o=x"), DS_OK);
            EXPECT_TRUE(set.empty());
            EXPECT_FALSE(list);
            outliving.emplace(session);
        }
        EXPECT_EQ(outliving->resolve("(cn=*)"), DS_NO_SESSION);   // its session object is gone
    }
    EXPECT_EQ(qorhost_live_pools(), pools);
}
