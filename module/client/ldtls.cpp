// TLS on the session's connections: on an ldaps socket at once, or after a StartTLS exchange.
#include "ldtls.h"

#include "../host/services.h"
#include "pool.h"

namespace qor {
namespace {

constexpr char kStartTlsOid[] = "1.3.6.1.4.1.1466.20037";
constexpr int32_t kRequestNameTag = 0x80;  // [0] requestName of an extended request
constexpr int32_t kTagSequence = 0x30;
constexpr int32_t kReasonCapacity = 256;

// Replaces the session's error text by `text` (when the pool can supply the copy).
void set_error_text(LDAP *ld, const char *text) {
    pool_clear_text(ld->ld_pool, &ld->ld_error);
    ld->ld_error = pool_copy_text(ld->ld_pool, text);
}

// A failure on the way to TLS: ld_errno and ld_error, and the same in the host log.
void report(LDAP *ld, int32_t code, const char *host, int32_t port, const char *reason) {
    ld->ld_errno = code;
    set_error_text(ld, reason);
    xpslog("qorldap: TLS with %s:%d failed: %s%n", host, port, reason);
}

}  // namespace

bool start_tls_on_socket(LDAP *ld, LDAPSocketBuffer *sb, const char *host, int32_t port) {
    const char *ca_file = ld->ld_tls_ca_file != nullptr ? ld->ld_tls_ca_file : "";
    int32_t mode = ld->ld_tls_verify == TLS_VERIFY_NEVER ? TLS_VERIFY_NEVER : TLS_VERIFY_DEMAND;
    if (wqstlss(sb->sb_socket, host, wzstlen(host), ca_file, wzstlen(ca_file), mode) != 0) {
        char reason[kReasonCapacity] = {};
        int32_t length = 0;
        if (wqstlsr(sb->sb_socket, reason, kReasonCapacity, &length) != 0) {
            __builtin_memcpy(reason, "TLS failed", sizeof "TLS failed");
        }
        report(ld, LDAP_SERVER_DOWN, host, port, reason);
        return false;
    }
    if (mode == TLS_VERIFY_NEVER) {
        xpslog("qorldap: TLS with %s:%d without certificate verification (LDAP_TLS_REQCERT=never)%n", host, port);
    }
    return true;
}

StartTlsOutcome start_tls_exchange(LDAP *ld, LDAPSocketBuffer *sb, const char *host, int32_t port) {
    BerElement *request = alloc_ber_with_options(ld);
    if (request == nullptr) return StartTlsOutcome::kFailed;
    int32_t msgid = ++ld->ld_last_msgid;
    if (berprnt(request, "{it{ts}}", msgid, LDAP_REQ_EXTENDED, kRequestNameTag, kStartTlsOid) == -1) {
        berfree(request, 1);
        ld->ld_errno = LDAP_ENCODING_ERROR;
        return StartTlsOutcome::kFailed;
    }
    if (berflsh(sb, request, 1) != 0) {
        berfree(request, 1);
        report(ld, LDAP_SERVER_DOWN, host, port, "the StartTLS request could not be sent");
        return StartTlsOutcome::kFailed;
    }

    BerElement answer;
    berinit(&answer, 0);
    set_ber_options(ld, &answer);
    uint32_t length = 0;
    int32_t tag = bergnxt(sb, &length, &answer);
    int32_t id = 0;
    int32_t code = 0;
    char *matched = nullptr;
    char *text = nullptr;
    bool understood = tag == kTagSequence && bergint(&answer, &id) != -1 && id == msgid &&
                      berpktg(&answer, &length) == LDAP_RES_EXTENDED &&
                      berscan(&answer, "{iaa}", &code, &matched, &text) != -1;
    pool_free_buffer(ld->ld_pool, answer.be_start);
    pool_free(ld->ld_pool, matched);
    if (!understood) {
        pool_free(ld->ld_pool, text);
        report(ld, tag == -1 ? LDAP_SERVER_DOWN : LDAP_DECODING_ERROR, host, port,
               tag == -1 ? "no answer to StartTLS" : "the server answered StartTLS with something else");
        return StartTlsOutcome::kFailed;
    }
    pool_free(ld->ld_pool, ld->ld_error);
    ld->ld_error = text;
    if (code != LDAP_SUCCESS) {
        ld->ld_errno = code;
        return StartTlsOutcome::kRefused;
    }
    if (sb->sb_input.be_pos != sb->sb_input.be_end) {
        report(ld, LDAP_LOCAL_ERROR, host, port, "the server sent more than its StartTLS answer before TLS");
        return StartTlsOutcome::kFailed;
    }
    return start_tls_on_socket(ld, sb, host, port) ? StartTlsOutcome::kStarted : StartTlsOutcome::kFailed;
}

}  // namespace qor
