// Compare requests.
#include "../host/services.h"
#include "client.h"
#include "ldops.h"

// SEQUENCE { id, [APPLICATION 14] { DN, SEQUENCE { type, value, NULL }, NULL }, NULL }: a NULL
// closes each of the three sequences. Servers answer this layout like the bare assertion.
int32_t ldap_compare(LDAP *ld, const char *dn, const char *type, const char *value) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) {
        return -1;
    }
    const int32_t msgid = ++ld->ld_last_msgid;
    if (berprnt(ber, "{it{s{ssn}n}", msgid, LDAP_REQ_COMPARE, dn, type, value) == -1 ||
        qor::put_request_controls(ld, ber, qor::ControlsFor::kEntryOperation) != 0 || berprnt(ber, "n}") == -1) {
        return qor::discard_request(ld, ber, LDAP_ENCODING_ERROR);
    }
    return send_initial_request(ld, LDAP_REQ_COMPARE, dn, ber);
}

// LDAP_COMPARE_TRUE or LDAP_COMPARE_FALSE when the server could compare, else the error.
int32_t ldap_compare_s(LDAP *ld, const char *dn, const char *type, const char *value) {
    const int32_t wait_ms = ld->ld_timelimit;
    return qor::await_result_code(ld, ldap_compare(ld, dn, type, value), wait_ms, nullptr);
}
