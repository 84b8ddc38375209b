// The session's own connection outlives its server: when it has ended, the next request opens a
// new one to the session's host list and binds it as the session was bound, then goes out on it.
// The request that was in flight when the connection ended has ended with it and is never sent
// again (an update must not be applied twice); a reconnect that fails is tried again by the next
// request, never in a loop.
#include "../util/util.h"
#include "client.h"
#include "engine.h"
#include "pool.h"

namespace {

// A new connection through the session's socket buffer to the server of one host list entry
// (null: the IPv4 loopback), bound as `bind` says. Null with ld_errno set.
LDAPConnection *connect_entry(LDAP *ld, const char *entry, int32_t length, int32_t bind) {
    LDAPServerEntry *server = qor::session_server(ld, entry, length);
    if (server == nullptr) return nullptr;
    LDAPConnection *conn = new_connection(ld, &server, qor::kSessionSocketBuffer, qor::kConnect, bind);
    free_servers(ld, server);  // unless the connection took it over
    return conn;
}

// A new connection to the first entry of the session's host list that connects and takes the
// bind (with the session's identity, when it has one), each entry tried once, in order. A server
// that goes away closes its connections before its port, so an entry may still connect and then
// end during the bind: the next entry is tried then, as after any other failure of an entry.
// Null with ld_errno set by the last entry tried.
LDAPConnection *open_reconnection(LDAP *ld) {
    const int32_t bind = ld->ld_bind_dn != nullptr ? qor::kBindAsSession : qor::kNoBind;
    const char *hosts = ld->ld_default_host;
    if (hosts == nullptr) return connect_entry(ld, nullptr, 0, bind);
    const int32_t length = wzstlen(hosts);
    LDAPConnection *conn = nullptr;
    for (int32_t start = 0, next = 0; conn == nullptr && start < length; start = next) {
        conn = connect_entry(ld, hosts + start, qor::host_entry_at(hosts, length, start, &next), bind);
    }
    // Like the first default connection, it stands for the whole list (which referral
    // connections are matched against), when the pool can hold the copy.
    char *whole = conn != nullptr ? qor::pool_copy_text(ld->ld_pool, hosts) : nullptr;
    if (whole != nullptr) {
        qor::pool_free(ld->ld_pool, conn->cn_server->sv_host);
        conn->cn_server->sv_host = whole;
    }
    return conn;
}

// Replaces the ended default connection `ended` by a new one. The ended connection's socket is
// closed first, since the new connection reads through the same socket buffer; its record goes
// once the requests that still hold it let it go. False, with ld_errno LDAP_SERVER_DOWN, when no
// new connection could be opened and bound; the ended connection then stays the default, for
// the next attempt.
bool reconnect(LDAP *ld, LDAPConnection *ended) {
    qor::close_socket_of(ld, ended);
    LDAPConnection *conn = open_reconnection(ld);
    if (conn == nullptr) {
        ld->ld_errno = LDAP_SERVER_DOWN;
        return false;
    }
    ld->ld_default_conn = conn;
    ++conn->cn_use_count;  // the session's, as for the first default connection
    ++ld->ld_reconnects;
    free_connection(ld, ended, qor::kOneUse, qor::kNoUnbind);  // the session's use of the old one
    // The texts of the bind's result say nothing about the request that follows.
    qor::pool_clear_text(ld->ld_pool, &ld->ld_error);
    qor::pool_clear_text(ld->ld_pool, &ld->ld_matched);
    ld->ld_errno = LDAP_SUCCESS;
    return true;
}

}  // namespace

namespace qor {

LDAPConnection *connection_for_request(LDAP *ld) {
    LDAPConnection *conn = ld->ld_default_conn;
    // A connection being bound (for a referral, or by a reconnect) takes its bind as it is.
    if (conn == nullptr || (ld->ld_option_flags & OPT_NO_RECONNECT) != 0 || conn->cn_state == CONN_BINDING) {
        return conn;
    }
    // A connection that requests use has been heard from lately; an idle one may have been
    // closed by its server long ago.
    if (conn->cn_state == CONN_CONNECTED && (conn->cn_use_count > 1 || idle_connection_usable(ld, conn))) return conn;
    return reconnect(ld, conn) ? ld->ld_default_conn : nullptr;
}

bool copy_bind_identity(LDAP *ld, const char *dn, const char *password, BindIdentity *identity) {
    identity->dn = pool_copy_text(ld->ld_pool, dn != nullptr ? dn : "");
    identity->password = pool_copy_text(ld->ld_pool, password != nullptr ? password : "");
    if (identity->dn != nullptr && identity->password != nullptr) return true;
    discard_bind_identity(ld, identity);
    ld->ld_errno = LDAP_NO_MEMORY;
    return false;
}

void adopt_bind_identity(LDAP *ld, BindIdentity *identity) {
    BindIdentity previous{ld->ld_bind_dn, ld->ld_bind_password};
    discard_bind_identity(ld, &previous);
    ld->ld_bind_dn = identity->dn;
    ld->ld_bind_password = identity->password;
    *identity = BindIdentity{};
}

void discard_bind_identity(LDAP *ld, BindIdentity *identity) {
    pool_clear_secret(ld->ld_pool, &identity->dn);
    pool_clear_secret(ld->ld_pool, &identity->password);
}

}  // namespace qor
