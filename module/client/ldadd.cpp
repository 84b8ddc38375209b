// Add requests: a new entry's DN and its attributes.
#include "../host/services.h"
#include "client.h"
#include "ldops.h"

// SEQUENCE { id, [APPLICATION 8] { DN, SEQUENCE { per record { type, SET { values } } } } }.
// Only the records' LDAP_MOD_BVALUES flag is read; their operations are not sent.
int32_t ldap_add(LDAP *ld, const char *dn, LDAPMod **attrs) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) {
        return -1;
    }
    const int32_t msgid = ++ld->ld_last_msgid;
    if (berprnt(ber, "{it{s{", msgid, LDAP_REQ_ADD, dn) == -1 || qor::put_mod_list(ber, attrs, false) == -1 ||
        berprnt(ber, "}}") == -1 || qor::close_request(ld, ber, qor::ControlsFor::kEntryOperation) != 0) {
        return qor::discard_request(ld, ber, LDAP_ENCODING_ERROR);
    }
    return send_initial_request(ld, LDAP_REQ_ADD, dn, ber);
}

int32_t ldap_add_s(LDAP *ld, const char *dn, LDAPMod **attrs) {
    const int32_t wait_ms = ld->ld_timelimit;
    return qor::await_update_result(ld, ldap_add(ld, dn, attrs), wait_ms, dn);
}
