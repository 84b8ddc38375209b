// The entries of a search result chain: every message before the final result (0x65).
#include "client.h"

LDAPMessage *ldap_first_entry(LDAP *, LDAPMessage *chain) {
    if (chain == nullptr || chain->lm_type == LDAP_RES_SEARCH_RESULT) return nullptr;
    return chain;
}

LDAPMessage *ldap_next_entry(LDAP *, LDAPMessage *entry) {
    if (entry == nullptr) return nullptr;
    LDAPMessage *next = entry->lm_chain_next;
    if (next == nullptr || next->lm_type == LDAP_RES_SEARCH_RESULT) return nullptr;
    return next;
}

int32_t ldap_count_entries(LDAP *, LDAPMessage *chain) {
    int32_t count = 0;
    for (; chain != nullptr && chain->lm_type != LDAP_RES_SEARCH_RESULT; chain = chain->lm_chain_next) ++count;
    return count;
}
