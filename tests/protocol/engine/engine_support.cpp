#include "engine_support.h"

namespace enginetest {

void EngineTest::SetUp() {
    ASSERT_TRUE(qortest::module_loaded());
    pools_before_ = qorhost_live_pools();
}

void EngineTest::TearDown() {
    qorhost_fail_reset();
    EXPECT_EQ(qorhost_live_pools(), pools_before_) << "a session pool outlived the test";
}

LDAP *open_session(std::uint16_t port, int32_t timelimit_ms) {
    LDAP *ld = ldap_open("127.0.0.1", port);
    EXPECT_NE(ld, nullptr) << "ldap_open to port " << port;
    if (ld != nullptr) ld->ld_timelimit = timelimit_ms;
    return ld;
}

LDAP *start_session(std::initializer_list<FakeLdapServer *> servers, int32_t timelimit_ms) {
    for (FakeLdapServer *server : servers) server->start();
    return open_session((*servers.begin())->port(), timelimit_ms);
}

namespace {

// Starts the session (see start_session), lets `prepare` set it up and sends the first request
// with `send`, which must answer id 1; frees the session and answers null when a step fails.
LDAP *start_sending(std::initializer_list<FakeLdapServer *> servers, const std::function<void(LDAP *)> &prepare,
                    const std::string &what, const std::function<int32_t(LDAP *)> &send) {
    LDAP *ld = start_session(servers);
    if (ld == nullptr) return nullptr;
    if (prepare) prepare(ld);
    int32_t id = send(ld);
    EXPECT_EQ(id, 1) << "sending " << what << ": ld_errno " << ld->ld_errno;
    if (id == 1) return ld;
    ldap_ld_free(ld, 0);
    return nullptr;
}

}  // namespace

LDAP *start_search(std::initializer_list<FakeLdapServer *> servers, const char *base,
                   const std::function<void(LDAP *)> &prepare) {
    return start_sending(servers, prepare, std::string("the search of ") + base,
                         [base](LDAP *ld) { return send_search(ld, base); });
}

LDAP *start_delete(std::initializer_list<FakeLdapServer *> servers, const char *dn,
                   const std::function<void(LDAP *)> &prepare) {
    return start_sending(servers, prepare, std::string("the delete of ") + dn,
                         [dn](LDAP *ld) { return send_delete(ld, dn); });
}

LDAP *start_queued_search(std::initializer_list<FakeLdapServer *> servers) {
    LDAP *ld = start_search(servers, "o=example");
    if (ld == nullptr) return nullptr;
    int32_t id = send_delete(ld, "cn=x");
    EXPECT_EQ(id, 2) << "sending the delete: ld_errno " << ld->ld_errno;
    if (id == 2) {
        LDAPMessage *result = nullptr;
        int32_t type = ldap_result(ld, id, 1, 0, &result);
        EXPECT_EQ(type, LDAP_RES_DELETE) << "waiting for the delete: ld_errno " << ld->ld_errno;
        ldap_msgfree(ld->ld_pool, result);
        if (type == LDAP_RES_DELETE) return ld;
    }
    ldap_ld_free(ld, 0);
    return nullptr;
}

void end_session(LDAP *ld, std::initializer_list<FakeLdapServer *> servers, Ending ending) {
    if (ending == Ending::unbind) {
        ldap_unbind(ld);
    } else {
        ldap_ld_free(ld, 0);
    }
    for (FakeLdapServer *server : servers) server->finish();
}

LDAPMessage *result_of(LDAP *ld, int32_t id) {
    LDAPMessage *result = nullptr;
    int32_t type = ldap_result(ld, id, 1, 0, &result);
    EXPECT_GT(type, 0) << "waiting for " << id << ": ld_errno " << ld->ld_errno;
    return result;
}

int32_t error_of(LDAP *ld, int32_t id) {
    return ldap_result2error(ld, result_of(ld, id), 1);
}

void take_result(LDAP *ld, int32_t id, int32_t type) {
    LDAPMessage *result = nullptr;
    EXPECT_EQ(ldap_result(ld, id, 1, 0, &result), type) << "waiting for " << id << ": ld_errno " << ld->ld_errno;
    ldap_msgfree(ld->ld_pool, result);
}

std::string url(std::uint16_t port, const std::string &rest) {
    return "ldap://127.0.0.1:" + std::to_string(port) + rest;
}

std::string referral(std::initializer_list<std::string> lines) {
    std::string text = "Referral:";
    for (const std::string &line : lines) text += "\n" + line;
    return text;
}

void answer_first_search(FakeLdapServer &server, Bytes answer) {
    server.accept().expect_request(ldap::op::search_request, 1).reply(std::move(answer)).expect_close();
}

void refer_first_search(FakeLdapServer &server, std::initializer_list<std::string> urls) {
    answer_first_search(server, ldap::search_done(1, ldap::code::partial_results, "", referral(urls)));
}

FakeLdapServer &accept_search_and_delete(FakeLdapServer &server) {
    return server.accept()
        .expect_request(ldap::op::search_request, 1)
        .expect_request(ldap::op::delete_request, 2);
}

FakeLdapServer &accept_bind(FakeLdapServer &server, std::int64_t bind_id) {
    return server.accept()
        .expect_request(ldap::op::bind_request, bind_id)
        .reply(ldap::bind_response(bind_id, ldap::code::success));
}

long live_blocks(LDAP *ld) {
    return qortest::pool_stats(ld->ld_pool).live_blocks;
}

int32_t send_search(LDAP *ld, const char *base, int32_t scope) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) return -1;
    int32_t id = ++ld->ld_last_msgid;
    if (berprnt(ber, "{it{seeiibts{v}}}", id, LDAP_REQ_SEARCH, base, scope, 0, 0, 0, 0, 0x87, "objectclass",
                static_cast<char **>(nullptr)) == -1) {
        berfree(ber, 1);
        ld->ld_errno = LDAP_ENCODING_ERROR;
        return -1;
    }
    return send_initial_request(ld, LDAP_REQ_SEARCH, base, ber);
}

Bytes search_request_bytes(std::int64_t id, const std::string &base, int scope) {
    ldap::Search search;
    search.base = base;
    search.scope = scope;
    search.filter = ldap::filter::present("objectclass");
    return ldap::search_request(id, search);
}

int32_t send_delete(LDAP *ld, const char *dn) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) return -1;
    int32_t id = ++ld->ld_last_msgid;
    if (berprnt(ber, "{its}", id, LDAP_REQ_DELETE, dn) == -1) {
        berfree(ber, 1);
        ld->ld_errno = LDAP_ENCODING_ERROR;
        return -1;
    }
    return send_initial_request(ld, LDAP_REQ_DELETE, dn, ber);
}

LDAPConnection *connection_to(LDAP *ld, std::uint16_t port) {
    for (LDAPConnection *conn = ld->ld_connections; conn != nullptr; conn = conn->cn_next) {
        if (conn->cn_server != nullptr && conn->cn_server->sv_host != nullptr &&
            std::string(conn->cn_server->sv_host) == "127.0.0.1" && conn->cn_server->sv_port == port) {
            return conn;
        }
    }
    return nullptr;
}

int connection_count(LDAP *ld) {
    int count = 0;
    for (LDAPConnection *conn = ld->ld_connections; conn != nullptr; conn = conn->cn_next) ++count;
    return count;
}

int pending_count(LDAP *ld) {
    int count = 0;
    for (LDAPPendingRequest *rq = ld->ld_pending_requests; rq != nullptr; rq = rq->rq_next) ++count;
    return count;
}

std::uint16_t dead_port() {
    return qortest::free_loopback_port();
}

}  // namespace enginetest
