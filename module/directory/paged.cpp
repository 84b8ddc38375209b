// Paged lookups: a version-3 session whose option word has DS_OPT_PAGED_RESULTS reads every
// search of the directory functions page after page (the paged-results control), gathering all
// pages into one result set, so a server's administrative limit on plain searches does not cut
// it short. The size limit bounds the whole; the time limit bounds each page.
#include "../client/buffers.h"
#include "../host/services.h"
#include "../client/ldcontrol.h"
#include "config.h"
#include "directory.h"

namespace {

constexpr int32_t kVersion3 = 3;
constexpr int32_t kDefaultPageSize = 500;
constexpr qor::ds::SettingName kPageSizeSetting{"LDAP_PAGESIZE", 10};

// The page size "LDAP_PAGESIZE" gives (host option, then environment), or the default when it
// gives none or no positive number.
int32_t page_size_setting() {
    char buffer[kPageSizeSetting.max_bytes + 1];
    int32_t length = 0;
    int32_t size = 0;
    if (!qor::ds::lookup_setting(qor::ds::option_handle(), kPageSizeSetting, buffer, &length) ||
        zatoi(buffer, length, 0, nullptr, &size) != 0 || size <= 0) {
        return kDefaultPageSize;
    }
    return size;
}

void clear_cookie(LDAP *ld) {
    qor::pool_free(ld->ld_pool, ld->ld_page_cookie.bv_val);
    ld->ld_page_cookie = berval{};
}

// Takes the server's cookie for the next page from the final result of `chain`. False when the
// search is complete: the cookie is empty, or the server sent no paged-results control (it
// answered the search whole); also when the cookie cannot be read or kept (*failed is then set).
bool take_cookie(LDAP *ld, LDAPMessage *chain, bool *failed) {
    const LDAPMessage *result = nullptr;
    for (const LDAPMessage *message = chain; message != nullptr; message = message->lm_chain_next) {
        if (message->lm_type == LDAP_RES_SEARCH_RESULT) result = message;
    }
    const uint8_t *value = nullptr;
    int32_t length = 0;
    if (result == nullptr || !qor::find_result_control(result, qor::kPagedResultsOid, &value, &length)) return false;
    //   realSearchControlValue ::= SEQUENCE { size INTEGER, cookie OCTET STRING }
    BerElement reader = qor::bytes_view(value, length);
    int32_t estimate = 0;
    const uint8_t *cookie = nullptr;
    int32_t cookie_length = 0;
    if (value == nullptr || berscan(&reader, "{i", &estimate) == -1 ||
        !qor::read_raw_octets(&reader, &cookie, &cookie_length)) {
        *failed = true;
        return false;
    }
    clear_cookie(ld);
    if (cookie_length == 0) return false;
    ld->ld_page_cookie.bv_val =
        qor::pool_copy_bytes(ld->ld_pool, reinterpret_cast<const char *>(cookie), cookie_length);
    ld->ld_page_cookie.bv_len = cookie_length;
    *failed = ld->ld_page_cookie.bv_val == nullptr;
    return !*failed;
}

// Appends the entries of one page to the set, up to `limit` entries in all (0: no limit);
// *full tells that entries were left out for it. DS_OK, or the builder's failure.
int32_t append_page(LDAP *ld, LDAPMessage *chain, int32_t limit, qor::ds::ResultSetBuilder *builder, bool *full) {
    for (LDAPMessage *message = ldap_first_entry(ld, chain); message != nullptr; message = ldap_next_entry(ld, message)) {
        if (limit > 0 && builder->count >= limit) {
            *full = true;
            return DS_OK;
        }
        const int32_t status = builder->append(ld, message);
        if (status != DS_OK) return status;
    }
    return DS_OK;
}

}  // namespace

namespace qor::ds {

bool pages_lookups(const LDAP *ld) {
    return ld->ld_protocol_version >= kVersion3 && (ld->ld_option_flags & DS_OPT_PAGED_RESULTS) != 0;
}

int32_t paged_lookup(LDAP *ld, PageSearch search, const void *context, dsent ***result) {
    ResultSetBuilder builder{ld->ld_pool};
    // Every page asks the session's size limit, which a server applies to the whole paged
    // search; the client holds the whole to it as well, for a server that counts per page.
    const int32_t whole_limit = ld->ld_sizelimit;
    ld->ld_page_size = page_size_setting();
    clear_cookie(ld);
    int32_t answer = LDAP_SUCCESS;
    int32_t status = DS_OK;
    for (;;) {
        LDAPMessage *chain = nullptr;
        answer = run_synchronously(ld, [&] { return search(ld, context, &chain); });
        bool full = false;
        status = append_page(ld, chain, whole_limit, &builder, &full);
        bool unreadable = false;
        const bool more = status == DS_OK && answer == LDAP_SUCCESS && take_cookie(ld, chain, &unreadable);
        ldap_msgfree(ld->ld_pool, chain);
        if (unreadable) {
            ld->ld_errno = LDAP_DECODING_ERROR;
            answer = LDAP_DECODING_ERROR;
        }
        if (full || (more && whole_limit > 0 && builder.count >= whole_limit)) {
            answer = LDAP_SIZELIMIT_EXCEEDED;   // more entries wait, but the whole is full
            ld->ld_errno = answer;
            break;
        }
        if (!more) break;
    }
    ld->ld_page_size = 0;
    clear_cookie(ld);

    if (status != DS_OK) {   // an entry could not be copied: nothing is delivered
        builder.release();
        return status;
    }
    if (answer != LDAP_SUCCESS && builder.count == 0) {
        builder.release();
        return protocol_failure(ld, answer);
    }
    *result = builder.take();
    return answer != LDAP_SUCCESS ? DS_WARNING(answer) : DS_OK;
}

}  // namespace qor::ds
