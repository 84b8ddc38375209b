// Binds by method: only simple authentication exists. Also the session's rebind procedure,
// which supplies credentials for connections opened to referred servers.
#include "client.h"

int32_t ldap_bind(LDAP *ld, const char *dn, const char *credentials, int32_t method) {
    if (method != LDAP_AUTH_SIMPLE) {
        ld->ld_errno = LDAP_AUTH_UNKNOWN;
        return -1;
    }
    return ldap_simple_bind(ld, dn, credentials);
}

int32_t ldap_bind_s(LDAP *ld, const char *dn, const char *credentials, int32_t method) {
    if (method != LDAP_AUTH_SIMPLE) {
        ld->ld_errno = LDAP_AUTH_UNKNOWN;
        return LDAP_AUTH_UNKNOWN;
    }
    return ldap_simple_bind_s(ld, dn, credentials);
}

void ldap_set_rebind_proc(LDAP *ld, RebindProc proc) {
    ld->ld_rebind_callback = proc;
}
