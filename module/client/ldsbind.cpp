// Simple bind: SEQUENCE { id, [APPLICATION 0] { version, DN, [0] password } }, announcing the
// session's protocol version.
#include "../host/services.h"
#include "buffers.h"
#include "client.h"
#include "engine.h"

namespace {

constexpr int32_t kSimpleCredentialsTag = 0x80;

}  // namespace

int32_t ldap_simple_bind(LDAP *ld, const char *dn, const char *password) {
    if (dn == nullptr) dn = "";
    if (password == nullptr) password = "";
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) return -1;
    int32_t msgid = ++ld->ld_last_msgid;
    if (berprnt(ber, "{it{ists}}", msgid, LDAP_REQ_BIND, ld->ld_protocol_version, dn, kSimpleCredentialsTag,
                password) == -1) {
        ld->ld_errno = LDAP_ENCODING_ERROR;
        qor::release_request_element(ber);
        return -1;
    }
    // A new identity may see other entries: nothing cached before it may answer after it.
    if (ld->ld_result_cache != nullptr) ldap_flush_cache(ld);
    return send_initial_request(ld, LDAP_REQ_BIND, dn, ber);
}

// Waits only when the request went out; without a result the answer is 89 and ld_errno keeps
// the code of the step that failed. A successful bind on the session's own connection becomes
// the identity a reconnect binds with; binds of connections being bound (for a referral, or by a
// reconnect) leave it alone.
int32_t ldap_simple_bind_s(LDAP *ld, const char *dn, const char *password) {
    LDAPMessage *result = nullptr;
    const bool own_connection = ld->ld_default_conn == nullptr || ld->ld_default_conn->cn_state != CONN_BINDING;
    qor::BindIdentity identity;
    if (own_connection && !qor::copy_bind_identity(ld, dn, password, &identity))
        return ldap_result2error(ld, nullptr, 1);
    int32_t msgid = ldap_simple_bind(ld, dn, password);
    if (msgid != -1) ldap_result(ld, msgid, qor::kWholeResult, ld->ld_timelimit, &result);
    const int32_t code = ldap_result2error(ld, result, 1);
    if (code == LDAP_SUCCESS && own_connection) qor::adopt_bind_identity(ld, &identity);
    qor::discard_bind_identity(ld, &identity);
    return code;
}
