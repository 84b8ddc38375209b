// Result reception: releasing messages.
#include "../host/services.h"
#include "client.h"
#include "pool.h"

int32_t ldap_msgfree(HostPool *pool, LDAPMessage *chain) {
    int32_t type = 0;
    while (chain != nullptr) {
        LDAPMessage *next = chain->lm_chain_next;
        type = chain->lm_type;
        berfree(chain->lm_ber_elem, 1);
        qor::pool_free(pool, chain);
        chain = next;
    }
    return type;
}

int32_t ldap_msgdelete(LDAP *ld, int32_t msgid) {
    LDAPMessage **place = &ld->ld_queued_responses;
    while (*place != nullptr && (*place)->lm_id != msgid) place = &(*place)->lm_list_next;
    LDAPMessage *chain = *place;
    if (chain == nullptr) return -1;
    *place = chain->lm_list_next;
    chain->lm_list_next = nullptr;
    return ldap_msgfree(ld->ld_pool, chain) == LDAP_RES_SEARCH_ENTRY ? -1 : 0;
}
