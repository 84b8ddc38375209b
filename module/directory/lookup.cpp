// Lookups: a synchronous search whose entries are delivered as a result set, the two ways host
// programs reach it (by DN, and below the session's default base), and the release of a set.
#include "directory.h"

namespace {

constexpr const char *kObjectClassFilter = "objectclass=*";

// The checks every lookup makes before it searches, in this order. Clears the session's error
// texts and the caller's place, so neither reports anything older than this lookup.
int32_t check_lookup(LDAP *ld, const char *base, bool has_filter, dsent ***result) {
    if (ld == nullptr) return DS_NO_SESSION;
    qor::ds::clear_error_texts(ld);
    if (base == nullptr) return DS_NO_BASE_DN;
    if (!has_filter) return DS_NO_FILTER;
    if (result == nullptr) return DS_MISSING_ARGUMENT;
    *result = nullptr;
    return DS_OK;
}

// Turns the outcome of a search into the lookup's status and result set, and releases the
// chain. A search that failed but delivered entries (a size or time limit) keeps them and
// answers a warning; one that failed without entries answers the failure.
int32_t deliver(LDAP *ld, int32_t answer, LDAPMessage *chain, dsent ***result) {
    const int32_t entries = ldap_count_entries(ld, chain);
    int32_t status = DS_OK;
    if (answer != LDAP_SUCCESS) {
        if (entries == 0) {
            ldap_msgfree(ld->ld_pool, chain);
            return qor::ds::protocol_failure(ld, answer);
        }
        status = DS_WARNING(answer);
    }
    if (entries > 0) {
        const int32_t built = qor::ds::build_result_set(ld, chain, entries, result);
        if (built != DS_OK) status = built;
    }
    ldap_msgfree(ld->ld_pool, chain);
    return status;
}

// A search with a filter text, or with a filter element that a writer encodes.
struct TextSearch {
    const char *base;
    int32_t scope;
    const char *filter;
    char **attrs;
};

struct WrittenSearch {
    const char *base;
    int32_t scope;
    FilterWriter write;
    const void *context;
    char **attrs;
};

int32_t search_text(LDAP *ld, const void *context, LDAPMessage **chain) {
    const auto *search = static_cast<const TextSearch *>(context);
    return ldap_search_s(ld, search->base, search->scope, search->filter, search->attrs, 0, chain);
}

int32_t search_written(LDAP *ld, const void *context, LDAPMessage **chain) {
    const auto *search = static_cast<const WrittenSearch *>(context);
    return search_with_filter_s(ld, search->base, search->scope, search->write, search->context, search->attrs, 0,
                                chain);
}

// Runs the search once, or page by page when the session reads searches in pages.
int32_t run_lookup(LDAP *ld, qor::ds::PageSearch search, const void *context, dsent ***result) {
    if (qor::ds::pages_lookups(ld)) return qor::ds::paged_lookup(ld, search, context, result);
    LDAPMessage *chain = nullptr;
    const int32_t answer = qor::ds::run_synchronously(ld, [&] { return search(ld, context, &chain); });
    return deliver(ld, answer, chain, result);
}

}  // namespace

namespace qor::ds {

int32_t lookup_with_filter_writer(LDAP *ld, const char *base, int32_t scope, FilterWriter write,
                                  const void *context, char **attrs, dsent ***result) {
    const int32_t checked = check_lookup(ld, base, write != nullptr, result);
    if (checked != DS_OK) return checked;
    const WrittenSearch search{base, scope, write, context, attrs};
    return run_lookup(ld, search_written, &search, result);
}

}  // namespace qor::ds

int32_t dslookup(LDAP *ld, const char *base, int32_t scope, const char *filter, char **attrs, dsent ***result) {
    const int32_t checked = check_lookup(ld, base, filter != nullptr, result);
    if (checked != DS_OK) return checked;
    const TextSearch search{base, scope, filter, attrs};
    return run_lookup(ld, search_text, &search, result);
}

int32_t dsrslvdn(LDAP *ld, const char *dn, char **attrs, dsent ***result) {
    if (ld == nullptr) return DS_NO_SESSION;
    return dslookup(ld, dn, LDAP_SCOPE_BASE, kObjectClassFilter, attrs, result);
}

// The option word's resolve-scope field: 0 searches the subtree, n = 1..3 uses scope n - 1.
int32_t dsreslv(LDAP *ld, const char *filter, char **attrs, dsent ***result) {
    if (ld == nullptr) return DS_NO_SESSION;
    const uint32_t field = (ld->ld_option_flags & OPT_RESOLVE_SCOPE) >> 4;
    const int32_t scope = field == 0 ? LDAP_SCOPE_SUBTREE : static_cast<int32_t>(field) - 1;
    return dslookup(ld, ld->ld_defbase, scope, filter, attrs, result);
}

int32_t dsfree(LDAP *ld, dsent **result) {
    if (ld == nullptr) return DS_NO_SESSION;
    if (result == nullptr) return DS_MISSING_ARGUMENT;
    for (dsent **entry = result; *entry != nullptr; ++entry) qor::ds::release_entry(ld->ld_pool, *entry);
    qor::pool_free(ld->ld_pool, result);
    return DS_OK;
}
