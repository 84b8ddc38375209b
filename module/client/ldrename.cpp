// Rename requests (ModifyDN): an entry's new RDN, whether the old RDN's values go, and an
// optional new parent.
#include "../host/services.h"
#include "client.h"
#include "ldops.h"

namespace {

constexpr int32_t kNewSuperiorTag = 0x80;

}  // namespace

// SEQUENCE { id, [APPLICATION 12] { entry DN, new RDN, BOOLEAN delete old RDN,
// [0] new superior OPTIONAL } }.
int32_t ldap_rename(LDAP *ld, const char *dn, const char *new_rdn, const char *new_superior, int32_t delete_old_rdn) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) {
        return -1;
    }
    const int32_t msgid = ++ld->ld_last_msgid;
    if (berprnt(ber, "{it{ssb", msgid, LDAP_REQ_MODRDN, dn, new_rdn, delete_old_rdn) == -1 ||
        (new_superior != nullptr && berprnt(ber, "ts", kNewSuperiorTag, new_superior) == -1) ||
        berprnt(ber, "}") == -1 || qor::close_request(ld, ber, qor::ControlsFor::kEntryOperation) != 0) {
        return qor::discard_request(ld, ber, LDAP_ENCODING_ERROR);
    }
    return send_initial_request(ld, LDAP_REQ_MODRDN, dn, ber);
}

int32_t ldap_rename_s(LDAP *ld, const char *dn, const char *new_rdn, const char *new_superior, int32_t delete_old_rdn) {
    const int32_t wait_ms = ld->ld_timelimit;
    const int32_t code =
        qor::await_update_result(ld, ldap_rename(ld, dn, new_rdn, new_superior, delete_old_rdn), wait_ms, dn);
    // The entry's new place is an update of its own: searches there may now answer differently.
    if (code == LDAP_SUCCESS && ld->ld_result_cache != nullptr && new_superior != nullptr) {
        uncache_updated_entry(ld, new_superior);
    }
    return code;
}
