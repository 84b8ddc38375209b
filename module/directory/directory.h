// The directory functions: what their units share. Every function named here is a slot of the
// directory-function vector or an internal worker that the description names; all take the
// session handle made by dsopen and allocate only from its pool.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "../../include/qorldap/qorldap.h"
#include "../client/client.h"
#include "../client/pool.h"
#include "../host/export.h"

#if defined(__i386__)
#include <cstddef>
static_assert(sizeof(dsval) == 20);
static_assert(offsetof(dsval, dv_area) == 8);
static_assert(offsetof(dsval, dv_text) == 16);
static_assert(sizeof(dsatt) == 12);
static_assert(sizeof(dsent) == 8);
static_assert(sizeof(dsmod) == 8);
static_assert(sizeof(dsmodg) == 8);
#endif

static_assert(DS_OPT_CHASE_REFERRALS == OPT_CHASE_REFERRALS && DS_OPT_START_TLS == OPT_START_TLS &&
              DS_OPT_TRY_START_TLS == OPT_TRY_START_TLS);

namespace qor::ds {

// A failed protocol operation as a directory status: the session's ld_errno folded in, or the
// operation's own answer when ld_errno holds no code (so a failure never reads as success).
inline int32_t protocol_failure(const LDAP *ld, int32_t answer) {
    int32_t code = ld->ld_errno & 0x7ff;
    if (code == 0) code = answer & 0x7ff;
    return DS_STATUS(code);
}

// Releases what requests from `first_id` on left in the session once their synchronous
// operation has returned: requests still pending are abandoned, results still queued are
// discarded. ld_errno is kept as it was.
void release_leftovers(LDAP *ld, int32_t first_id);

// Runs one synchronous protocol operation for a directory function and answers its result;
// nothing of its requests outlives the call.
template <typename Operation>
int32_t run_synchronously(LDAP *ld, Operation operation) {
    const int32_t first_id = ld->ld_last_msgid + 1;
    const int32_t answer = operation();
    release_leftovers(ld, first_id);
    return answer;
}

// True when a text argument is given: not null and not empty.
inline bool given(const char *text) {
    return text != nullptr && *text != '\0';
}

// Releases the error text and matched DN the previous operation left, and the message dsgeterr
// made of them, so that dsgeterr only ever reports on the latest operation.
inline void clear_error_texts(LDAP *ld) {
    pool_clear_text(ld->ld_pool, &ld->ld_error);
    pool_clear_text(ld->ld_pool, &ld->ld_matched);
    pool_clear_text(ld->ld_pool, &ld->ld_error_message);
}

// Releases one attribute record of an attribute list with its values, their texts and binary
// copies (kind 6), the value array and the name. Tolerates records left half-built by a failed
// construction.
void release_attribute(HostPool *pool, dsatt *attribute);

// Releases one entry of a result set: its block (the entry, its attributes, values and texts)
// and the binary copies (kind 6) its values were given since.
void release_entry(HostPool *pool, dsent *entry);

// A result set growing one entry message at a time; a null slot always follows the last entry.
// Start it as ResultSetBuilder{pool}; end it with take() or release().
struct ResultSetBuilder {
    HostPool *pool;
    dsent **set = nullptr;
    int32_t count = 0;
    int32_t capacity = 0;  // slots of `set`, the null slot included

    // Copies one search entry message (it stays the caller's) into a new entry at the end.
    // DS_OK; DS_NO_MEMORY; or DS_STATUS(84), with ld_errno set, for an entry that cannot be
    // decoded (the client reports a lack of memory inside its decoder the same way). On failure
    // the set is as it was.
    int32_t append(LDAP *ld, const LDAPMessage *message);
    // Hands the set over, one slot per entry and the null slot, or null when it has no entry;
    // the builder is empty afterwards.
    dsent **take();
    // Releases the set and every entry in it; the builder is empty afterwards.
    void release();
    // Releases the entries from the `kept`th on, keeping the first `kept`.
    void truncate(int32_t kept);

    bool resize(int32_t slots);
};

// One search of a lookup: below `base` in `scope`, the filter element(s) `write` encodes from
// `filter`, the attributes `attrs` (null: all).
struct LookupSearch {
    const char *base;
    int32_t scope;
    FilterWriter write;
    const void *filter;
    char **attrs;
};

// Copies the entries of a search into a result set as they arrive, releasing each message once
// copied, so that a lookup holds its set and one message. It keeps at most `limit` entries (0:
// no limit; `full` tells that one was left out for it). Once an entry cannot be copied, `status`
// keeps why and the rest are released uncopied.
struct EntryCollector {
    ResultSetBuilder *builder;
    int32_t limit = 0;
    int32_t received = 0;  // entries the search delivered, copied or not
    int32_t status = DS_OK;
    bool full = false;

    // Runs `search` once (see run_synchronously), its entries going into the set. Answers the
    // search's result code; *final is its final result, null when none came (a failure or a
    // time-out: the entries copied meanwhile are still in the set).
    int32_t collect(LDAP *ld, const LookupSearch &search, LDAPMessage **final);
};

// True when the session reads the searches of its lookups in pages (version 3 and
// DS_OPT_PAGED_RESULTS).
bool pages_lookups(const LDAP *ld);

// Runs `search` page after page, each asking for the page size "LDAP_PAGESIZE" gives (500 when
// it gives none) with the server's cookie, until the server's cookie is empty, and delivers all
// entries as one result set with the statuses of dslookup. The session's size limit bounds the
// whole (a whole that fills up with pages still to come answers DS_WARNING(4)); its time limit
// bounds each page.
int32_t paged_lookup(LDAP *ld, const LookupSearch &search, dsent ***result);

// Runs a search whose filter element `write` encodes from `context`, and delivers its entries
// as a result set, exactly as dslookup does for a filter text (same checks, same statuses).
int32_t lookup_with_filter_writer(LDAP *ld, const char *base, int32_t scope, FilterWriter write, const void *context,
                                  char **attrs, dsent ***result);

}  // namespace qor::ds

// Sessions.
QOR_EXPORT int32_t dsopen(LDAP **session, const char *host, int32_t port, int32_t options, const char *base,
                          const char *bind_dn, const char *password);
QOR_EXPORT int32_t dsclose(LDAP *ld);
QOR_EXPORT void dsopt(LDAP *ld, int32_t time_limit_seconds, int32_t size_limit, int32_t options, const char *base);
QOR_EXPORT char *dsgeterr(LDAP *ld);
QOR_EXPORT char *dsmynod(char *buffer, int32_t size);

// Lookups and result sets. dslookup is not in the vector: the lookups below and dsexpgrp use it.
QOR_EXPORT int32_t dslookup(LDAP *ld, const char *base, int32_t scope, const char *filter, char **attrs,
                            dsent ***result);
QOR_EXPORT int32_t dsrslvdn(LDAP *ld, const char *dn, char **attrs, dsent ***result);
QOR_EXPORT int32_t dsreslv(LDAP *ld, const char *filter, char **attrs, dsent ***result);
QOR_EXPORT int32_t dsfree(LDAP *ld, dsent **result);

// Typed value access.
QOR_EXPORT int32_t dsgshrt(dsval *value);
QOR_EXPORT int32_t dsgint(dsval *value);
QOR_EXPORT int32_t dsglong(dsval *value);
QOR_EXPORT float dsgflt(dsval *value);
QOR_EXPORT double dsgdbl(dsval *value);
QOR_EXPORT unsigned char *dsgbin(LDAP *ld, dsval *value, int32_t *length);
QOR_EXPORT char *dsgstr(dsval *value);

// Updates and compare. dsfixval gives a value its text form (0 or DS_NO_MEMORY).
QOR_EXPORT int32_t dsfixval(LDAP *ld, dsval *value);
QOR_EXPORT int32_t dsreg(LDAP *ld, const char *dn, dsent *entry);
QOR_EXPORT int32_t dsdereg(LDAP *ld, const char *dn);
QOR_EXPORT int32_t dsmodify(LDAP *ld, const char *dn, dsmod **changes);
QOR_EXPORT int32_t dsmodpad(LDAP *ld, const char *dn, dsmodg **groups);
QOR_EXPORT int32_t dsmodone(LDAP *ld, const char *dn, int32_t operation, const char *type, char **values);
QOR_EXPORT int32_t dscompar(LDAP *ld, const char *dn, const char *type, const char *value);

// Attribute lists and parent names. form_attribute is the worker of dsmkatt over an argument
// list the caller has started; on failure it sets ld_errno to DS_NO_MEMORY.
QOR_EXPORT dsatt *dsmkatt(LDAP *ld, const char *name, int32_t count, ...);
QOR_EXPORT dsatt *form_attribute(LDAP *ld, const char *name, int32_t count, va_list values);
QOR_EXPORT void dsfratt(LDAP *ld, dsatt *attribute);
QOR_EXPORT void dsdnprnt(const char *name, char *output, int32_t size, int32_t *length);

// Class test and group expansion.
QOR_EXPORT int32_t dsiscls(LDAP *ld, dsent *entry, const char *class_name, int32_t length);
QOR_EXPORT int32_t dsexpgrp(LDAP *ld, const char *group_dn, dsent ***result);
