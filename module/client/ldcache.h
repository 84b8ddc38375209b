// The session's result cache (ld_result_cache): completed searches filed by the length of their
// request, answered again without the server while they are young enough.
//
// A cached operation is a chain of LDAPMessage records linked by lm_chain_next: first a copy of
// the request (lm_id its message id, lm_type its tag, its element holding the whole encoded
// request, positioned at its start), then copies of the result messages in arrival order, each
// positioned like the message it copies. Every record, element and buffer of the cache comes
// from the session pool and belongs to the cache alone: the cache never shares a buffer with the
// caller or the reader.
#pragma once

#include <cstdint>

#include "ldap.h"

// Number of slots of the table; the slot of a request is the length of its bytes after the
// message id, modulo this.
inline constexpr int32_t CACHE_SLOTS = 31;
// What an empty cache counts in ca_memory_used; a limit at or below it means no limit.
inline constexpr int32_t CACHE_EMPTY_MEMORY = 148;
// What each record of a filed chain counts, besides the length of its encoded bytes.
inline constexpr int32_t CACHE_RECORD_MEMORY = 28;

// Allocated zero-filled from the session pool by ldap_enable_cache; released by
// ldap_destroy_cache (and so by ldap_ld_free).
//
// Accounting: ca_memory_used is CACHE_EMPTY_MEMORY plus, for every chain filed in a slot, 28 plus
// the encoded length of each of its records. Chains still waiting for their final result
// (ca_pending) are not counted and are never evicted; they leave the cache when their result is
// filed or refused, when they are uncached or flushed, or once their request is no longer pending
// in the session (abandoned, or never sent).
struct LDAPResultCache {
    LDAPMessage *ca_buckets[CACHE_SLOTS];  // completed operations, newest first (lm_list_next)
    LDAPMessage *ca_pending;               // operations waiting for their final result (lm_list_next)
    int32_t ca_timeout;                    // age in host clock units (wzdttme) after which an entry expires
    int32_t ca_max_memory;                 // memory limit; CACHE_EMPTY_MEMORY or less: no limit
    int32_t ca_memory_used;                // accounted memory, CACHE_EMPTY_MEMORY when empty
    uint32_t ca_enabled;                   // lookups and filing happen only while non-zero
    uint32_t ca_options;                   // CACHE_OPT_* bits (client.h)
};

#if defined(__i386__)
static_assert(sizeof(LDAPResultCache) == CACHE_EMPTY_MEMORY);
#endif
