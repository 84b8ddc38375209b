// Delete requests.
#include "../host/services.h"
#include "client.h"
#include "ldops.h"

// SEQUENCE { id, [APPLICATION 10] DN }: the DN is the content of the primitive 0x4A element.
int32_t ldap_delete(LDAP *ld, const char *dn) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) {
        return -1;
    }
    const int32_t msgid = ++ld->ld_last_msgid;
    if (berprnt(ber, "{its", msgid, LDAP_REQ_DELETE, dn) == -1 ||
        qor::close_request(ld, ber, qor::ControlsFor::kEntryOperation) != 0) {
        return qor::discard_request(ld, ber, LDAP_ENCODING_ERROR);
    }
    return send_initial_request(ld, LDAP_REQ_DELETE, dn, ber);
}

int32_t ldap_delete_s(LDAP *ld, const char *dn) {
    const int32_t wait_ms = ld->ld_timelimit;
    return qor::await_update_result(ld, ldap_delete(ld, dn), wait_ms, dn);
}
