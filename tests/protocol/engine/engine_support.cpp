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
