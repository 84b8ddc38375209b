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

// Takes the server's cookie for the next page from a page's final result. False when the
// search is complete: the cookie is empty, or the server sent no paged-results control (it
// answered the search whole); also when the cookie cannot be read or kept (*failed is then set).
bool take_cookie(LDAP *ld, const LDAPMessage *result, bool *failed) {
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

}  // namespace

namespace qor::ds {

bool pages_lookups(const LDAP *ld) {
    return ld->ld_protocol_version >= kVersion3 && (ld->ld_option_flags & DS_OPT_PAGED_RESULTS) != 0;
}

int32_t paged_lookup(LDAP *ld, const LookupSearch &search, dsent ***result) {
    ResultSetBuilder builder{ld->ld_pool};
    // Every page asks the session's size limit, which a server applies to the whole paged
    // search; the client holds the whole to it as well, for a server that counts per page.
    EntryCollector collector{&builder, ld->ld_sizelimit};
    ld->ld_page_size = page_size_setting();
    clear_cookie(ld);
    int32_t answer = LDAP_SUCCESS;
    for (;;) {
        const int32_t page_start = builder.count;
        LDAPMessage *final = nullptr;
        answer = collector.collect(ld, search, &final);
        if (final == nullptr) {  // a page that did not end adds nothing, not even its fill or failure
            builder.truncate(page_start);
            collector.full = false;
            collector.status = DS_OK;
        }
        bool unreadable = false;
        const bool more = collector.status == DS_OK && answer == LDAP_SUCCESS && take_cookie(ld, final, &unreadable);
        ldap_msgfree(ld->ld_pool, final);
        if (unreadable) {
            ld->ld_errno = LDAP_DECODING_ERROR;
            answer = LDAP_DECODING_ERROR;
        }
        if (collector.full || (more && collector.limit > 0 && builder.count >= collector.limit)) {
            answer = LDAP_SIZELIMIT_EXCEEDED;  // more entries wait, but the whole is full
            ld->ld_errno = answer;
            break;
        }
        if (!more) break;
    }
    ld->ld_page_size = 0;
    clear_cookie(ld);

    if (collector.status != DS_OK) {  // an entry could not be copied: nothing is delivered
        builder.release();
        return collector.status;
    }
    if (answer != LDAP_SUCCESS && builder.count == 0) {
        builder.release();
        return protocol_failure(ld, answer);
    }
    *result = builder.take();
    return answer != LDAP_SUCCESS ? DS_WARNING(answer) : DS_OK;
}

}  // namespace qor::ds
