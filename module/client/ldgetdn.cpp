// The DN of an entry, read from a copy of its element so the entry can be read again.
#include "../host/services.h"
#include "client.h"

char *ldap_get_dn(LDAP *ld, LDAPMessage *entry) {
    if (entry == nullptr || entry->lm_ber_elem == nullptr) {
        ld->ld_errno = LDAP_PARAM_ERROR;
        return nullptr;
    }
    BerElement reader = *entry->lm_ber_elem;
    char *dn = nullptr;
    if (berscan(&reader, "{a", &dn) == -1) {
        ld->ld_errno = LDAP_DECODING_ERROR;
        return nullptr;
    }
    return dn;
}
