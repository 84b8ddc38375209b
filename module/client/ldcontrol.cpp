// Controls: what a version-3 session puts on its requests (ManageDsaIT when the option word asks
// for it, the paged-results control on searches while a paged lookup runs), and reading the
// controls a server puts on its results.
//
//   controls [0] SEQUENCE OF SEQUENCE { controlType OCTET STRING (the OID), criticality BOOLEAN
//            DEFAULT FALSE (left out), controlValue OCTET STRING OPTIONAL }
#include "ldcontrol.h"

#include "../host/services.h"
#include "buffers.h"
#include "pool.h"

namespace {

constexpr int32_t kControlsTag = 0xA0;
constexpr int32_t kOctetStringTag = 0x04;
constexpr int32_t kBooleanTag = 0x01;
constexpr int32_t kVersion3 = 3;

bool wants_manage_dsa_it(const LDAP *ld, qor::ControlsFor kind) {
    return kind != qor::ControlsFor::kNone && (ld->ld_option_flags & DS_OPT_MANAGE_DSA_IT) != 0;
}

bool wants_paging(const LDAP *ld, qor::ControlsFor kind) {
    return kind == qor::ControlsFor::kSearch && ld->ld_page_size > 0;
}

// The paged-results control: its value is the BER of SEQUENCE { size INTEGER, cookie OCTET
// STRING }, the cookie the server's last one (empty for the first page).
int32_t put_paging(LDAP *ld, BerElement *ber) {
    const berval &cookie = ld->ld_page_cookie;
    if (berprnt(ber, "{st{{i", qor::kPagedResultsOid, kOctetStringTag, ld->ld_page_size) == -1) return -1;
    if (qor::put_raw_octets(ber, reinterpret_cast<const uint8_t *>(cookie.bv_val), cookie.bv_len) != 0) return -1;
    return berprnt(ber, "}}}") == -1 ? -1 : 0;
}

// Positions `reader` (a copy of a result message's element) inside its controls. False when it
// carries none.
bool enter_controls(BerElement *reader) {
    uint32_t length = 0;
    return berscan(reader, "x") != -1 && berpktg(reader, &length) == kControlsTag && berscan(reader, "{") != -1;
}

}  // namespace

namespace qor {

int32_t put_request_controls(LDAP *ld, BerElement *ber, ControlsFor kind) {
    const bool manage = wants_manage_dsa_it(ld, kind);
    const bool paging = wants_paging(ld, kind);
    if (ld->ld_protocol_version < kVersion3 || (!manage && !paging)) return 0;
    if (berprnt(ber, "t{", kControlsTag) == -1) return -1;
    if (manage && berprnt(ber, "{s}", kManageDsaItOid) == -1) return -1;
    if (paging && put_paging(ld, ber) != 0) return -1;
    return berprnt(ber, "}") == -1 ? -1 : 0;
}

bool find_result_control(const LDAPMessage *message, const char *oid, const uint8_t **value, int32_t *length) {
    BerElement reader = *message->lm_ber_elem;
    if (!enter_controls(&reader)) return false;
    const int32_t wanted = wzstlen(oid);
    for (;;) {
        char *type = nullptr;
        if (berscan(&reader, "{a", &type) == -1) return false;
        const bool match = wzsteqn(type, wzstlen(type), oid, wanted) != 0;
        pool_free(reader.be_pool, type);
        uint32_t item_length = 0;
        if (berpktg(&reader, &item_length) == kBooleanTag && berscan(&reader, "x") == -1) return false;
        *value = nullptr;
        *length = 0;
        if (berpktg(&reader, &item_length) == kOctetStringTag && !read_raw_octets(&reader, value, length)) return false;
        if (match) return true;
        if (berscan(&reader, "}") == -1) return false;
    }
}

}  // namespace qor
