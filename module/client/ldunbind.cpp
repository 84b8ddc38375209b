// Session teardown: each server may be told with an unbind request, every socket is closed and
// the session's pool is destroyed with everything still in it.
#include "../host/services.h"
#include "buffers.h"
#include "client.h"
#include "pool.h"

int32_t ldap_unbind(LDAP *ld) {
    return ldap_ld_free(ld, qor::kSendUnbind);
}

int32_t ldap_unbind_s(LDAP *ld) {
    return ldap_ld_free(ld, qor::kSendUnbind);
}

int32_t ldap_ld_free(LDAP *ld, int32_t send_unbind_flag) {
    if (ld == nullptr) return LDAP_PARAM_ERROR;
    HostPool *pool = ld->ld_pool;

    // Every request once: a top-level request takes its descendants with it.
    while (ld->ld_pending_requests != nullptr) {
        LDAPPendingRequest *top = ld->ld_pending_requests;
        while (top->rq_parent != nullptr) top = top->rq_parent;
        free_request(ld, top);
    }
    while (ld->ld_connections != nullptr) free_connection(ld, ld->ld_connections, qor::kForce, send_unbind_flag);
    while (ld->ld_queued_responses != nullptr) {
        LDAPMessage *chain = ld->ld_queued_responses;
        ld->ld_queued_responses = chain->lm_list_next;
        ldap_msgfree(pool, chain);
    }
    if (ld->ld_result_cache != nullptr) ldap_destroy_cache(ld);

    qor::pool_clear_text(pool, &ld->ld_error);
    qor::pool_clear_text(pool, &ld->ld_error_message);
    qor::pool_clear_text(pool, &ld->ld_attr_name_spill);
    qor::pool_clear_text(pool, &ld->ld_matched);
    qor::release_input(pool, &ld->ld_sockbuf);
    qor::pool_free(pool, ld->ld_abandoned_ids);
    qor::pool_free(pool, ld->ld_tls_ca_file);
    if (ld->ld_ready_sockets != nullptr) wqsfmsk(ld->ld_ready_sockets);
    qor::pool_free(pool, ld->ld_default_host);
    qor::pool_clear_secret(pool, &ld->ld_bind_dn);
    qor::pool_clear_secret(pool, &ld->ld_bind_password);

    qor::pool_free(pool, ld);
    wmpoold(pool);
    return 0;
}

int32_t send_unbind(LDAP *ld, LDAPSocketBuffer *sb) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) return ld->ld_errno;
    int32_t msgid = ++ld->ld_last_msgid;
    if (berprnt(ber, "{itn}", msgid, LDAP_REQ_UNBIND) == -1) {
        ld->ld_errno = LDAP_ENCODING_ERROR;
        berfree(ber, qor::kWithBuffer);
        return LDAP_ENCODING_ERROR;
    }
    if (berflsh(sb, ber, 1) != 0) {
        ld->ld_errno = LDAP_SERVER_DOWN;
        berfree(ber, qor::kWithBuffer);
        return LDAP_SERVER_DOWN;
    }
    return 0;
}
