// The session's own connection outlives its server: when it has ended, the next request opens a
// new one to the session's host list and binds it as the session was bound, then goes out on it.
// The request that was in flight when the connection ended has ended with it and is never sent
// again (an update must not be applied twice); a reconnect that fails is tried again by the next
// request, never in a loop.
#include "client.h"
#include "engine.h"
#include "pool.h"

namespace {

// Replaces the ended default connection `ended` by a new one, bound with the session's identity
// when it has one. The ended connection's socket is closed first, since the new connection reads
// through the same socket buffer; its record goes once the requests that still hold it let it go.
// False, with ld_errno LDAP_SERVER_DOWN, when no new connection could be opened and bound; the
// ended connection then stays the default, for the next attempt.
bool reconnect(LDAP *ld, LDAPConnection *ended) {
    qor::close_socket_of(ld, ended);
    const int32_t bind = ld->ld_bind_dn != nullptr ? qor::kBindAsSession : qor::kNoBind;
    LDAPConnection *conn = qor::open_session_connection(ld, bind);
    if (conn == nullptr) {
        ld->ld_errno = LDAP_SERVER_DOWN;
        return false;
    }
    ld->ld_default_conn = conn;
    ++conn->cn_use_count;   // the session's, as for the first default connection
    ++ld->ld_reconnects;
    free_connection(ld, ended, qor::kOneUse, qor::kNoUnbind);   // the session's use of the old one
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
