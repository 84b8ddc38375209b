// Lookups: a synchronous search whose entries are delivered as a result set, the two ways host
// programs reach it (by DN, and below the session's default base), and the release of a set.
#include "../client/ldfilter.h"
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

// Turns the outcome of a lookup's search into its status and result set. A search that failed
// but delivered entries (a size or time limit) keeps them and answers a warning; one that failed
// without entries, or without a final result, answers the failure.
int32_t deliver(LDAP *ld, int32_t answer, bool finished, const qor::ds::EntryCollector &collector,
                qor::ds::ResultSetBuilder *builder, dsent ***result) {
    if (!finished || (answer != LDAP_SUCCESS && collector.received == 0)) {
        builder->release();
        return qor::ds::protocol_failure(ld, answer);
    }
    if (collector.status != DS_OK) {  // an entry could not be copied: nothing is delivered
        builder->release();
        return collector.status;
    }
    *result = builder->take();
    return answer != LDAP_SUCCESS ? DS_WARNING(answer) : DS_OK;
}

void take_entry(void *context, LDAP *ld, LDAPMessage *entry) {
    auto *collector = static_cast<qor::ds::EntryCollector *>(context);
    ++collector->received;
    if (collector->status == DS_OK) {
        if (collector->limit > 0 && collector->builder->count >= collector->limit) {
            collector->full = true;
        } else {
            collector->status = collector->builder->append(ld, entry);
        }
    }
    ldap_msgfree(ld->ld_pool, entry);
}

// Runs the search once, or page by page when the session reads searches in pages.
int32_t run_lookup(LDAP *ld, const qor::ds::LookupSearch &search, dsent ***result) {
    if (qor::ds::pages_lookups(ld)) return qor::ds::paged_lookup(ld, search, result);
    qor::ds::ResultSetBuilder builder{ld->ld_pool};
    qor::ds::EntryCollector collector{&builder};
    LDAPMessage *final = nullptr;
    const int32_t answer = collector.collect(ld, search, &final);
    ldap_msgfree(ld->ld_pool, final);
    return deliver(ld, answer, final != nullptr, collector, &builder, result);
}

}  // namespace

namespace qor::ds {

int32_t EntryCollector::collect(LDAP *ld, const LookupSearch &search, LDAPMessage **final) {
    const EntryReceiver receiver{take_entry, this};
    return run_synchronously(ld, [&] {
        return search_entries_s(ld, search.base, search.scope, search.write, search.filter, search.attrs, receiver,
                                final);
    });
}

int32_t lookup_with_filter_writer(LDAP *ld, const char *base, int32_t scope, FilterWriter write, const void *context,
                                  char **attrs, dsent ***result) {
    const int32_t checked = check_lookup(ld, base, write != nullptr, result);
    if (checked != DS_OK) return checked;
    return run_lookup(ld, LookupSearch{base, scope, write, context, attrs}, result);
}

}  // namespace qor::ds

int32_t dslookup(LDAP *ld, const char *base, int32_t scope, const char *filter, char **attrs, dsent ***result) {
    const int32_t checked = check_lookup(ld, base, filter != nullptr, result);
    if (checked != DS_OK) return checked;
    return run_lookup(ld, qor::ds::LookupSearch{base, scope, write_string_filter, filter, attrs}, result);
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
