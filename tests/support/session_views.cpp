#include "tests/support/session_views.h"

namespace qortest {

std::string dn_of(LDAP *ld, LDAPMessage *entry) {
    char *dn = ldap_get_dn(ld, entry);
    std::string text = dn != nullptr ? dn : "<null>";
    if (dn != nullptr) ld->ld_pool->release(ld->ld_pool, dn, 0, 4);
    return text;
}

void clear_error_texts(LDAP *ld) {
    ld->ld_pool->release(ld->ld_pool, ld->ld_error, 0, 4);
    ld->ld_pool->release(ld->ld_pool, ld->ld_matched, 0, 4);
    ld->ld_error = ld->ld_matched = nullptr;
}

}  // namespace qortest
