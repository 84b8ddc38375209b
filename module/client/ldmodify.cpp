// Modify requests: a list of changes to one entry.
#include "../host/services.h"
#include "client.h"
#include "ldops.h"

// SEQUENCE { id, [APPLICATION 6] { DN, SEQUENCE { per record { ENUMERATED operation,
// { type, SET { values } } } } } }. The operation is mod_op without LDAP_MOD_BVALUES, sent as
// it stands otherwise.
int32_t ldap_modify(LDAP *ld, const char *dn, LDAPMod **mods) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) {
        return -1;
    }
    const int32_t msgid = ++ld->ld_last_msgid;
    if (berprnt(ber, "{it{s{", msgid, LDAP_REQ_MODIFY, dn) == -1 || qor::put_mod_list(ber, mods, true) == -1 ||
        berprnt(ber, "}}") == -1 || qor::close_request(ld, ber, qor::ControlsFor::kEntryOperation) != 0) {
        return qor::discard_request(ld, ber, LDAP_ENCODING_ERROR);
    }
    return send_initial_request(ld, LDAP_REQ_MODIFY, dn, ber);
}

// Waits with a time-out of 0, which the reader takes as ld_timelimit.
int32_t ldap_modify_s(LDAP *ld, const char *dn, LDAPMod **mods) {
    return qor::await_update_result(ld, ldap_modify(ld, dn, mods), 0, dn);
}
