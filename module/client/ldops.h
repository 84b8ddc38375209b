// Pieces shared by the operations that encode a request and may wait for its result: add,
// modify, delete, compare and search.
#pragma once

#include <cstdint>

#include "../host/services.h"
#include "client.h"
#include "ldcontrol.h"

namespace qor {

// Ends a request whose encoding failed: ld_errno takes `code`, the element goes back with its
// buffer, nothing is sent. The message id it was given stays used. Answers -1.
inline int32_t discard_request(LDAP *ld, BerElement *ber, int32_t code) {
    ld->ld_errno = code;
    berfree(ber, qor::kWithBuffer);
    return -1;
}

// Ends a request whose protocol operation has been written: the controls the session puts on a
// request of `kind`, then the message's closing "}". 0, or -1 when the codec refuses.
inline int32_t close_request(LDAP *ld, BerElement *ber, ControlsFor kind) {
    if (put_request_controls(ld, ber, kind) != 0) return -1;
    return berprnt(ber, "}") == -1 ? -1 : 0;
}

// Writes one LDAPMod record's type and values: SEQUENCE { type, SET { values } }, the values as
// strings or, with LDAP_MOD_BVALUES, as bervals. With `with_operation` the record is wrapped as
// a modification: SEQUENCE { ENUMERATED operation without the flag, that sequence }. 0, or -1.
inline int32_t put_mod_record(BerElement *ber, const LDAPMod *mod, bool with_operation) {
    if ((mod->mod_op & LDAP_MOD_BVALUES) != 0) {
        return with_operation
                   ? berprnt(ber, "{e{s[V]}}", mod->mod_op & ~LDAP_MOD_BVALUES, mod->mod_type, mod->mod_bvalues)
                   : berprnt(ber, "{s[V]}", mod->mod_type, mod->mod_bvalues);
    }
    return with_operation ? berprnt(ber, "{e{s[v]}}", mod->mod_op, mod->mod_type, mod->mod_values)
                          : berprnt(ber, "{s[v]}", mod->mod_type, mod->mod_values);
}

// Writes every record of a null-terminated LDAPMod list in order (a null list counts as empty);
// 0, or -1 at the first record the codec refuses.
inline int32_t put_mod_list(BerElement *ber, LDAPMod *const *mods, bool with_operation) {
    for (LDAPMod *const *mod = mods; mod != nullptr && *mod != nullptr; ++mod) {
        if (put_mod_record(ber, *mod, with_operation) == -1) {
            return -1;
        }
    }
    return 0;
}

// The synchronous end of an operation started as `msgid`: waits for its complete result (all = 1;
// wait_ms 0 means ld_timelimit) and answers the result code, also left in ld_errno with
// ld_matched and ld_error. A start that failed (msgid -1) answers ld_errno and leaves *keep
// untouched; a failed wait answers ld_errno; a time-out answers LDAP_PARAM_ERROR, ld_errno then
// being LDAP_TIMEOUT. With `keep` null the result is released; otherwise the chain is left in
// *keep for the caller, who releases it with ldap_msgfree (null after a failure or time-out).
inline int32_t await_result_code(LDAP *ld, int32_t msgid, int32_t wait_ms, LDAPMessage **keep) {
    if (msgid == -1) {
        return ld->ld_errno;
    }
    LDAPMessage *result = nullptr;
    LDAPMessage **place = keep != nullptr ? keep : &result;
    if (ldap_result(ld, msgid, qor::kWholeResult, wait_ms, place) == -1) {
        return ld->ld_errno;
    }
    return ldap_result2error(ld, *place, keep != nullptr ? 0 : 1);
}

// The synchronous end of an update of the entry `dn` (add, modify, delete): as
// await_result_code, and once the server has applied it, the result cache forgets what the
// update may have changed.
inline int32_t await_update_result(LDAP *ld, int32_t msgid, int32_t wait_ms, const char *dn) {
    const int32_t code = await_result_code(ld, msgid, wait_ms, nullptr);
    if (code == LDAP_SUCCESS && ld->ld_result_cache != nullptr) uncache_updated_entry(ld, dn);
    return code;
}

}  // namespace qor
