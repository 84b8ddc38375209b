// Request dispatch and the connection pool: BER elements prepared for the session, requests
// recorded as pending (with their place in a referral tree), sent and armed for their answer,
// and connections shared by counted uses and closed when their last user lets them go.
#include "../host/services.h"
#include "buffers.h"
#include "client.h"
#include "engine.h"
#include "ldtrans.h"
#include "pool.h"

namespace {

// Unlinks a request from ld_pending_requests and releases it with its element and texts.
void release_request_record(LDAP *ld, LDAPPendingRequest *request) {
    if (request->rq_prev != nullptr) {
        request->rq_prev->rq_next = request->rq_next;
    } else if (ld->ld_pending_requests == request) {
        ld->ld_pending_requests = request->rq_next;
    }
    if (request->rq_next != nullptr) request->rq_next->rq_prev = request->rq_prev;
    qor::release_request_element(request->rq_ber);
    qor::pool_free(ld->ld_pool, request->rq_error_text);
    qor::pool_free(ld->ld_pool, request->rq_matched_dn);
    qor::pool_free(ld->ld_pool, request->rq_references);
    qor::pool_free(ld->ld_pool, request);
}

// Takes a descendant out of its top-level request's descendant chain.
void unlink_descendant(LDAPPendingRequest *request) {
    LDAPPendingRequest *before = qor::top_level_request(request);
    while (before != nullptr && before->rq_descendant_next != request) before = before->rq_descendant_next;
    if (before != nullptr) before->rq_descendant_next = request->rq_descendant_next;
    request->rq_descendant_next = nullptr;
}

// After a failed bind on a connection that is about to be released by force: requests that went
// out on it (the bind itself) can never be answered, so they are released, and every use their
// referral trees hold of other connections is given back.
void discard_requests_on(LDAP *ld, LDAPConnection *conn) {
    LDAPPendingRequest *request = ld->ld_pending_requests;
    while (request != nullptr) {
        if (request->rq_conn != conn) {
            request = request->rq_next;
            continue;
        }
        request->rq_conn = nullptr;
        if (request->rq_parent == nullptr) {
            for (LDAPPendingRequest *d = request->rq_descendant_next; d != nullptr; d = d->rq_descendant_next) {
                if (d->rq_conn != conn) qor::release_connection_use(ld, d);
                d->rq_conn = nullptr;
            }
            free_request(ld, request);
            request = ld->ld_pending_requests;  // the list changed: start again
        } else {
            request = request->rq_next;
        }
    }
}

// True when a request may go out on `conn`: it is connected, or it is being bound for a
// referral and the request is its bind (made while the connection is the session's default).
bool takes_requests(const LDAP *ld, const LDAPConnection *conn) {
    return conn->cn_state == CONN_CONNECTED || (conn->cn_state == CONN_BINDING && conn == ld->ld_default_conn);
}

// Binds a new connection: for a referred server with the rebind procedure's credentials or
// anonymously, for the session's own use with the identity of its last bind. The connection is
// the session's default for the length of the bind and carries one more use meanwhile. True
// when the server accepted the bind.
bool bind_connection(LDAP *ld, LDAPConnection *conn, int32_t bind) {
    char *dn = nullptr;
    char *password = nullptr;
    int32_t method = LDAP_AUTH_SIMPLE;
    RebindProc rebind = bind == qor::kBindForReferral ? ld->ld_rebind_callback : nullptr;
    if (rebind != nullptr) {
        int32_t refused = rebind(ld, &dn, &password, &method, 0);
        if (refused != 0) {
            ld->ld_errno = refused;
            return false;
        }
    } else if (bind == qor::kBindAsSession) {
        dn = ld->ld_bind_dn;
        password = ld->ld_bind_password;
    }
    LDAPConnection *saved_default = ld->ld_default_conn;
    ld->ld_default_conn = conn;
    ++conn->cn_use_count;
    int32_t result = ldap_bind_s(ld, dn != nullptr ? dn : "", password != nullptr ? password : "", method);
    --conn->cn_use_count;
    ld->ld_default_conn = saved_default;
    if (rebind != nullptr) rebind(ld, &dn, &password, &method, 1);
    return result == LDAP_SUCCESS;
}

}  // namespace

BerElement *alloc_ber_with_options(LDAP *ld) {
    BerElement *ber = berallt(ld->ld_pool, ld->ld_ber_options);
    if (ber == nullptr) {
        ld->ld_errno = LDAP_NO_MEMORY;
        return nullptr;
    }
    set_ber_options(ld, ber);
    // A request is encoded at once, in the host's encoding of now: when that is the directory's
    // the translator would only copy every text, and is left off.
    if (encodes_unchanged(ber->be_encode)) bersstt(ber, nullptr, ber->be_decode);
    return ber;
}

void set_ber_options(LDAP *ld, BerElement *ber) {
    ber->be_pool = ld->ld_pool;
    ber->be_options = ld->ld_ber_options;
    if ((ld->ld_ber_options & LBER_TRANSLATE_STRINGS) != 0) {
        bersstt(ber, ld->ld_encode_translator, ld->ld_decode_translator);
    }
}

int32_t send_initial_request(LDAP *ld, int32_t, const char *, BerElement *ber) {
    return send_server_request(ld, ber, ld->ld_last_msgid, nullptr, nullptr, nullptr, qor::kNoBind);
}

int32_t send_server_request(LDAP *ld, BerElement *ber, int32_t msgid, LDAPPendingRequest *parent,
                            LDAPServerEntry *servers, LDAPConnection *conn, int32_t bind) {
    ld->ld_errno = LDAP_SUCCESS;
    if (conn == nullptr) {
        if (servers != nullptr) {
            conn = find_connection(ld, servers, 1);
            if (conn == nullptr) conn = new_connection(ld, &servers, qor::kOwnSocketBuffer, qor::kConnect, bind);
        } else {
            conn = qor::connection_for_request(ld);
        }
    }
    free_servers(ld, servers);  // the entry a new connection took over is no longer in the list
    if (conn == nullptr || !takes_requests(ld, conn)) {
        qor::release_request_element(ber);
        if (ld->ld_errno == LDAP_SUCCESS) ld->ld_errno = LDAP_SERVER_DOWN;
        return -1;
    }
    use_connection(ld, conn);

    auto *request = qor::pool_new<LDAPPendingRequest>(ld->ld_pool);
    if (request == nullptr) {
        ld->ld_errno = LDAP_NO_MEMORY;
        free_connection(ld, conn, qor::kOneUse, qor::kNoUnbind);
        qor::release_request_element(ber);
        return -1;
    }
    request->rq_msgid = msgid;
    request->rq_status = REQ_IN_PROGRESS;
    request->rq_result_code = LDAP_SUCCESS;
    request->rq_ber = ber;
    request->rq_conn = conn;
    if (parent != nullptr) {
        ++parent->rq_open_children;
        request->rq_origin_msgid = parent->rq_origin_msgid;
        request->rq_hop_count = parent->rq_hop_count + 1;
        request->rq_parent = parent;
        request->rq_descendant_next = parent->rq_descendant_next;
        parent->rq_descendant_next = request;
    } else {
        request->rq_origin_msgid = msgid;
    }
    request->rq_next = ld->ld_pending_requests;
    if (request->rq_next != nullptr) request->rq_next->rq_prev = request;
    ld->ld_pending_requests = request;

    if (berflsh(conn->cn_sockbuf, ber, 0) != 0) {
        ld->ld_errno = LDAP_SERVER_DOWN;
        request->rq_conn = nullptr;
        free_request(ld, request);
        free_connection(ld, conn, qor::kOneUse, qor::kNoUnbind);
        return -1;
    }
    // Referral chasing re-reads a top-level request from its start.
    if (parent == nullptr) berrest(ber, 1);
    mark_select_read(ld, conn->cn_sockbuf);
    ld->ld_errno = LDAP_SUCCESS;
    return msgid;
}

LDAPConnection *new_connection(LDAP *ld, LDAPServerEntry **servers, int32_t use_session_sockbuf, int32_t connect,
                               int32_t bind) {
    HostPool *pool = ld->ld_pool;
    auto *conn = qor::pool_new<LDAPConnection>(pool);
    LDAPSocketBuffer *sb = &ld->ld_sockbuf;
    if (conn != nullptr && use_session_sockbuf == 0) sb = qor::pool_new<LDAPSocketBuffer>(pool);
    if (conn == nullptr || sb == nullptr) {
        qor::pool_free(pool, conn);
        ld->ld_errno = LDAP_NO_MEMORY;
        return nullptr;
    }
    conn->cn_sockbuf = sb;
    if (sb->sb_input.be_pool == nullptr) sb->sb_input.be_pool = pool;

    if (connect != 0) {
        LDAPServerEntry **place = servers;
        while (*place != nullptr && open_ldap_connection(ld, sb, (*place)->sv_host, (*place)->sv_port) != 0) {
            place = &(*place)->sv_next;
        }
        if (*place == nullptr) {
            if (sb != &ld->ld_sockbuf) qor::pool_free(pool, sb);
            qor::pool_free(pool, conn);
            // The last attempt left its reason (a StartTLS refusal keeps the server's code).
            if (place == servers) ld->ld_errno = LDAP_SERVER_DOWN;
            return nullptr;
        }
        LDAPServerEntry *taken = *place;
        *place = taken->sv_next;
        taken->sv_next = nullptr;
        conn->cn_server = taken;
    }

    // The reader must see the connection while its bind waits, but no other request may find it
    // before the server has accepted the bind.
    conn->cn_state = bind != 0 ? CONN_BINDING : CONN_CONNECTED;
    conn->cn_next = ld->ld_connections;
    ld->ld_connections = conn;

    if (bind != 0) {
        if (!bind_connection(ld, conn, bind) || conn->cn_state != CONN_BINDING) {
            discard_requests_on(ld, conn);
            free_connection(ld, conn, qor::kForce, qor::kNoUnbind);
            return nullptr;
        }
        conn->cn_state = CONN_CONNECTED;
    }
    return conn;
}

LDAPConnection *find_connection(LDAP *ld, LDAPServerEntry *servers, int32_t any) {
    for (LDAPConnection *conn = ld->ld_connections; conn != nullptr; conn = conn->cn_next) {
        const LDAPServerEntry *own = conn->cn_server;
        if (conn->cn_state != CONN_CONNECTED || own == nullptr || own->sv_host == nullptr) continue;
        for (const LDAPServerEntry *wanted = servers; wanted != nullptr;
             wanted = any != 0 ? wanted->sv_next : nullptr) {
            if (wanted->sv_host != nullptr && wanted->sv_port == own->sv_port &&
                wzsteqn(own->sv_host, wzstlen(own->sv_host), wanted->sv_host, wzstlen(wanted->sv_host)) != 0) {
                return conn;
            }
        }
    }
    return nullptr;
}

void use_connection(LDAP *, LDAPConnection *conn) {
    ++conn->cn_use_count;
}

void free_connection(LDAP *ld, LDAPConnection *conn, int32_t force, int32_t unbind) {
    if (conn == nullptr) return;
    if (force == 0 && --conn->cn_use_count > 0) return;

    LDAPSocketBuffer *sb = conn->cn_sockbuf;
    if (unbind != 0 && conn->cn_state == CONN_CONNECTED) send_unbind(ld, sb);
    qor::close_socket_of(ld, conn);

    for (LDAPConnection **place = &ld->ld_connections; *place != nullptr; place = &(*place)->cn_next) {
        if (*place == conn) {
            *place = conn->cn_next;
            break;
        }
    }
    if (ld->ld_default_conn == conn) ld->ld_default_conn = nullptr;
    free_servers(ld, conn->cn_server);
    if (sb != &ld->ld_sockbuf) qor::pool_free(ld->ld_pool, sb);
    qor::pool_free(ld->ld_pool, conn);
}

void free_request(LDAP *ld, LDAPPendingRequest *request) {
    if (request->rq_parent != nullptr) {
        --request->rq_parent->rq_open_children;
        unlink_descendant(request);
    } else {
        LDAPPendingRequest *descendant = request->rq_descendant_next;
        while (descendant != nullptr) {
            LDAPPendingRequest *next = descendant->rq_descendant_next;
            release_request_record(ld, descendant);
            descendant = next;
        }
        request->rq_descendant_next = nullptr;
    }
    release_request_record(ld, request);
}

void free_servers(LDAP *ld, LDAPServerEntry *servers) {
    while (servers != nullptr) {
        LDAPServerEntry *next = servers->sv_next;
        qor::pool_free(ld->ld_pool, servers->sv_host);
        qor::pool_free(ld->ld_pool, servers);
        servers = next;
    }
}

namespace qor {

void close_socket_of(LDAP *ld, LDAPConnection *conn) {
    if (conn->cn_state == 0 || conn->cn_state == CONN_CLOSED) return;
    LDAPSocketBuffer *sb = conn->cn_sockbuf;
    if (sb->sb_event != nullptr) mark_select_clear(ld, sb);
    close_connection(sb);
    release_input(ld->ld_pool, sb);
    conn->cn_state = CONN_CLOSED;
}

}  // namespace qor

LDAPPendingRequest *find_request_by_msgid(LDAP *ld, int32_t msgid) {
    for (LDAPPendingRequest *request = ld->ld_pending_requests; request != nullptr; request = request->rq_next) {
        if (request->rq_msgid == msgid) return request;
    }
    return nullptr;
}
