// Abandoning requests, and the session's list of abandoned message ids. Messages that arrive
// later for an abandoned id are dropped by the reader.
#include "../host/services.h"
#include "client.h"
#include "engine.h"
#include "pool.h"

namespace {

constexpr int32_t kMostAbandoned = 64;

// The socket buffer of the session's own connection, when that connection takes requests. An
// abandon never reconnects: a new connection has no request to abandon.
LDAPSocketBuffer *session_socket_buffer(LDAP *ld) {
    const LDAPConnection *conn = ld->ld_default_conn;
    return conn != nullptr && conn->cn_state == CONN_CONNECTED ? conn->cn_sockbuf : nullptr;
}

// Sends an abandon request for `msgid` through `sb`. 0, or -1 with ld_errno set.
int32_t send_abandon(LDAP *ld, LDAPSocketBuffer *sb, int32_t msgid) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) return -1;
    int32_t id = ++ld->ld_last_msgid;
    if (berprnt(ber, "{iti}", id, LDAP_REQ_ABANDON, msgid) == -1) {
        ld->ld_errno = LDAP_ENCODING_ERROR;
        berfree(ber, qor::kWithBuffer);
        return -1;
    }
    if (sb == nullptr || berflsh(sb, ber, 1) != 0) {
        ld->ld_errno = LDAP_SERVER_DOWN;
        berfree(ber, qor::kWithBuffer);
        return -1;
    }
    return 0;
}

// Appends `msgid` to ld_abandoned_ids. 0, or -1 with ld_errno 90 (the list is then unchanged).
// The list keeps the latest kMostAbandoned ids, the oldest going first: an abandoned request is
// released at once and a message for an id without a pending request is dropped anyway, so an
// old id only costs every received message a longer scan, and a long-lived session that abandons
// many requests must not grow without bound.
int32_t record_abandoned(LDAP *ld, int32_t msgid) {
    int32_t *ids = ld->ld_abandoned_ids;
    int32_t count = 0;
    if (ids != nullptr) {
        while (ids[count] != -1) ++count;
    }
    if (count >= kMostAbandoned) {
        for (int32_t i = 1; i < count; ++i) ids[i - 1] = ids[i];
        ids[count - 1] = msgid;
        return 0;
    }
    int32_t *grown = nullptr;
    if (ids == nullptr) {
        grown = qor::pool_new_array<int32_t>(ld->ld_pool, 2);
    } else {
        void *block = nullptr;
        int32_t size = (count + 2) * static_cast<int32_t>(sizeof(int32_t));
        if (wmrealc(ld->ld_pool, ids, 0, &block, size, qor::kPoolZeroFilled) == 0)
            grown = static_cast<int32_t *>(block);
    }
    if (grown == nullptr) {
        ld->ld_errno = LDAP_NO_MEMORY;
        return -1;
    }
    grown[count] = msgid;
    grown[count + 1] = -1;
    ld->ld_abandoned_ids = grown;
    return 0;
}

}  // namespace

int32_t ldap_abandoned(LDAP *ld, int32_t msgid) {
    if (ld->ld_abandoned_ids == nullptr) return 0;
    for (const int32_t *id = ld->ld_abandoned_ids; *id != -1; ++id) {
        if (*id == msgid) return 1;
    }
    return 0;
}

int32_t ldap_mark_abandoned(LDAP *ld, int32_t msgid) {
    int32_t *ids = ld->ld_abandoned_ids;
    if (ids == nullptr) return -1;
    int32_t at = 0;
    while (ids[at] != -1 && ids[at] != msgid) ++at;
    if (ids[at] == -1) return -1;
    do {
        ids[at] = ids[at + 1];
        ++at;
    } while (ids[at - 1] != -1);
    return 0;
}

int32_t ldap_abandon(LDAP *ld, int32_t msgid) {
    return do_abandon(ld, msgid, msgid);
}

int32_t do_abandon(LDAP *ld, int32_t origin_msgid, int32_t msgid) {
    // Descendants of the request go first, each on its own connection.
    LDAPPendingRequest *request = ld->ld_pending_requests;
    for (; request != nullptr && request->rq_msgid != msgid; request = request->rq_next) {
        if (request->rq_origin_msgid == msgid) do_abandon(ld, msgid, request->rq_msgid);
    }
    bool own_call = origin_msgid == msgid;
    if (request != nullptr && own_call && request->rq_parent != nullptr) {
        ld->ld_errno = LDAP_PARAM_ERROR;
        return -1;
    }
    // A request whose result has been read (or that waits for its descendants) needs no
    // abandon request; an unknown id gets one on the session's own connection.
    bool due = request == nullptr || (request->rq_status == REQ_IN_PROGRESS && request->rq_conn != nullptr);

    if (ldap_msgdelete(ld, msgid) == 0) {
        ld->ld_errno = LDAP_SUCCESS;
        return 0;
    }

    int32_t sent = 0;
    if (due) {
        LDAPSocketBuffer *sb = request != nullptr ? request->rq_conn->cn_sockbuf : session_socket_buffer(ld);
        sent = send_abandon(ld, sb, msgid);
    }
    if (request != nullptr) {
        qor::release_connection_use(ld, request);
        if (own_call) free_request(ld, request);
    }
    if (record_abandoned(ld, msgid) != 0) return -1;
    if (sent != 0) return -1;
    ld->ld_errno = LDAP_SUCCESS;
    return 0;
}
