// Result codes: the session's error state from a result message, the texts of the codes, and
// the host-log report of the last failure.
#include "../host/services.h"
#include "client.h"
#include "ldtrans.h"
#include "pool.h"

const LDAPErrorText ldap_errlist[] = {
    {0x00, "Success"},
    {0x01, "Operations error"},
    {0x02, "Protocol error"},
    {0x03, "Timelimit exceeded"},
    {0x04, "Sizelimit exceeded"},
    {0x05, "Compare false"},
    {0x06, "Compare true"},
    {0x07, "Strong authentication not supported"},
    {0x08, "Strong authentication required"},
    {0x09, "Partial results and referral received"},
    {0x10, "No such attribute"},
    {0x11, "Undefined attribute type"},
    {0x12, "Inappropriate matching"},
    {0x13, "Constraint violation"},
    {0x14, "Type or value exists"},
    {0x15, "Invalid syntax"},
    {0x20, "No such object"},
    {0x21, "Alias problem"},
    {0x22, "Invalid DN syntax"},
    {0x23, "Object is a leaf"},
    {0x24, "Alias dereferencing problem"},
    {0x30, "Inappropriate authentication"},
    {0x31, "Invalid credentials"},
    {0x32, "Insufficient access"},
    {0x33, "DSA is busy"},
    {0x34, "DSA is unavailable"},
    {0x35, "DSA is unwilling to perform"},
    {0x36, "Loop detected"},
    {0x40, "Naming violation"},
    {0x41, "Object class violation"},
    {0x42, "Operation not allowed on nonleaf"},
    {0x43, "Operation not allowed on RDN"},
    {0x44, "Already exists"},
    {0x45, "Cannot modify object class"},
    {0x46, "Results too large"},
    {0x50, "Unknown error"},
    {0x51, "Can't contact LDAP server"},
    {0x52, "Local error"},
    {0x53, "Encoding error"},
    {0x54, "Decoding error"},
    {0x55, "Timed out"},
    {0x56, "Unknown authentication method"},
    {0x57, "Bad search filter"},
    {0x58, "User cancelled operation"},
    {0x59, "Bad parameter to an ldap routine"},
    {0x5a, "Out of memory"},
    {-1, nullptr},
};

namespace {

constexpr int32_t kUnknownErrorCode = 0x50;

// The table's entry for `code`, or null.
const LDAPErrorText *find_error(int32_t code) {
    for (const LDAPErrorText *entry = ldap_errlist; entry->e_code != -1; ++entry) {
        if (entry->e_code == code) return entry;
    }
    return nullptr;
}

}  // namespace

int32_t ldap_result2error(LDAP *ld, LDAPMessage *result, int32_t free_it) {
    if (result == nullptr) return LDAP_PARAM_ERROR;
    LDAPMessage *last = result;
    while (last->lm_chain_next != nullptr) last = last->lm_chain_next;

    qor::pool_clear_text(ld->ld_pool, &ld->ld_error);
    qor::pool_clear_text(ld->ld_pool, &ld->ld_matched);

    // A copy, so that the message can be read again.
    int32_t code = 0;
    int32_t scanned = -1;
    if (last->lm_ber_elem != nullptr) {
        BerElement reader = *last->lm_ber_elem;
        if (decodes_unchanged(reader.be_decode)) reader.be_decode = nullptr;  // the texts as received
        scanned = ld->ld_protocol_version > 1 ? berscan(&reader, "{iaa}", &code, &ld->ld_matched, &ld->ld_error)
                                              : berscan(&reader, "{ia}", &code, &ld->ld_error);
    }
    ld->ld_errno = scanned == -1 ? LDAP_DECODING_ERROR : code;

    if (free_it != 0) ldap_msgfree(ld->ld_pool, result);
    return ld->ld_errno;
}

const char *ldap_err2string(int32_t code) {
    const LDAPErrorText *entry = find_error(code);
    return (entry != nullptr ? entry : find_error(kUnknownErrorCode))->e_reason;
}

void ldap_perror(LDAP *ld, const char *prefix) {
    if (ld == nullptr) return;
    if (prefix == nullptr) prefix = "";
    const LDAPErrorText *entry = find_error(ld->ld_errno);
    if (entry == nullptr) {
        xpslog("%s: Not an LDAP errno %d%n", prefix, ld->ld_errno);
        return;
    }
    xpslog("%s: %s%n", prefix, entry->e_reason);
    if (ld->ld_matched != nullptr && ld->ld_matched[0] != '\0') xpslog("%s: matched: %s%n", prefix, ld->ld_matched);
    if (ld->ld_error != nullptr && ld->ld_error[0] != '\0') {
        xpslog("%s: additional info: %s%n", prefix, ld->ld_error);
    }
}
