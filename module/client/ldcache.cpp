// The result cache: searches remembered while their results arrive, filed when the final result
// comes, answered again from the table without the server, expired by age, evicted by a memory
// limit, uncached by message id or DN, emptied by a simple bind and destroyed with the session.
#include "../host/services.h"
#include "buffers.h"
#include "client.h"
#include "engine.h"
#include "ldcache.h"
#include "pool.h"

namespace {

constexpr int32_t kNoSuchAttribute = 16;

LDAPResultCache *cache_of(const LDAP *ld) {
    return ld != nullptr ? static_cast<LDAPResultCache *>(ld->ld_result_cache) : nullptr;
}

// What a chain counts in the cache's memory account.
int64_t chain_memory(const LDAPMessage *chain) {
    int64_t total = 0;
    for (; chain != nullptr; chain = chain->lm_chain_next) {
        total += CACHE_RECORD_MEMORY + qor::buffer_length(chain->lm_ber_elem);
    }
    return total;
}

// Moves the account by `delta`, kept between the empty cache's count and the largest count.
void account(LDAPResultCache *cache, int64_t delta) {
    int64_t used = cache->ca_memory_used + delta;
    if (used < CACHE_EMPTY_MEMORY) used = CACHE_EMPTY_MEMORY;
    if (used > INT32_MAX) used = INT32_MAX;
    cache->ca_memory_used = static_cast<int32_t>(used);
}

// ---- Requests: key and matching --------------------------------------------------------------

// The bytes of a request after its outer SEQUENCE header and its message id: its protocol
// operation, tag and length included. The message id never takes part in matching. False when
// the request cannot be parsed; `request` itself does not move.
bool operation_bytes(const BerElement *request, const uint8_t **bytes, int32_t *length) {
    BerElement reader = *request;
    uint32_t sequence_length = 0;
    if (bersktg(&reader, &sequence_length) == -1 || berscan(&reader, "x") == -1) return false;
    *bytes = qor::unread_bytes(&reader, length);
    return true;
}

// The slot of a request whose operation bytes have `length` bytes; 0 for one that cannot be parsed.
int32_t slot_of(bool parsed, int32_t length) {
    return parsed ? length % CACHE_SLOTS : 0;
}

// True when the filed request `stored` has the type and the operation bytes given.
bool same_request(const LDAPMessage *stored, int32_t type, const uint8_t *bytes, int32_t length) {
    if (stored->lm_type != type) return false;
    const uint8_t *stored_bytes = nullptr;
    int32_t stored_length = 0;
    if (!operation_bytes(stored->lm_ber_elem, &stored_bytes, &stored_length) || stored_length != length) {
        return false;
    }
    for (int32_t i = 0; i < length; ++i) {
        if (stored_bytes[i] != bytes[i]) return false;
    }
    return true;
}

// ---- Copies -------------------------------------------------------------------------------------

// A copy of `message` under `id` with its own record, element and buffer, read from the same
// offset. Its links are empty. Null when the pool cannot supply it; nothing is then left
// allocated.
LDAPMessage *copy_message(HostPool *pool, const LDAPMessage *message, int32_t id) {
    auto *copy = qor::pool_new<LDAPMessage>(pool);
    BerElement *element = copy != nullptr ? qor::copy_element(message->lm_ber_elem) : nullptr;
    if (element == nullptr) {
        qor::pool_free(pool, copy);
        return nullptr;
    }
    copy->lm_id = id;
    copy->lm_type = message->lm_type;
    copy->lm_ber_elem = element;
    return copy;
}

// Copies of the messages from `first` on, chained in order under `id`, ready to be queued.
// Null when any copy fails; the copies already made are then released.
LDAPMessage *copy_answers(HostPool *pool, const LDAPMessage *first, int32_t id) {
    LDAPMessage *head = nullptr;
    for (const LDAPMessage *message = first; message != nullptr; message = message->lm_chain_next) {
        LDAPMessage *copy = copy_message(pool, message, id);
        if (copy == nullptr) {
            if (head != nullptr) qor::finish_chain(head);
            ldap_msgfree(pool, head);
            return nullptr;
        }
        if (head == nullptr) {
            head = copy;
        } else {
            qor::append_to_chain(head, copy);
        }
    }
    return head;
}

// ---- Removal ------------------------------------------------------------------------------------

// Unlinks the chain at *place from its list and releases it; a filed chain's memory leaves the
// account.
void remove_chain(LDAP *ld, LDAPResultCache *cache, LDAPMessage **place, bool filed) {
    LDAPMessage *chain = *place;
    *place = chain->lm_list_next;
    chain->lm_list_next = nullptr;
    if (filed) account(cache, -chain_memory(chain));
    ldap_msgfree(ld->ld_pool, chain);
}

// Removes every chain of the list at `head` for which `doomed` holds.
template <typename Predicate>
void remove_from_list(LDAP *ld, LDAPResultCache *cache, LDAPMessage **head, bool filed, Predicate doomed) {
    LDAPMessage **place = head;
    while (*place != nullptr) {
        if (doomed(*place)) {
            remove_chain(ld, cache, place, filed);
        } else {
            place = &(*place)->lm_list_next;
        }
    }
}

// Removes every filed chain for which `doomed` holds, in all slots.
template <typename Predicate>
void remove_filed(LDAP *ld, LDAPResultCache *cache, Predicate doomed) {
    for (LDAPMessage *&head : cache->ca_buckets) remove_from_list(ld, cache, &head, true, doomed);
}

// Removes every chain, pending or filed, for which `doomed` holds.
template <typename Predicate>
void remove_everywhere(LDAP *ld, LDAPResultCache *cache, Predicate doomed) {
    remove_from_list(ld, cache, &cache->ca_pending, false, doomed);
    remove_filed(ld, cache, doomed);
}

// Removes the filed chains filed before `cutoff`.
void remove_filed_before(LDAP *ld, LDAPResultCache *cache, double cutoff) {
    remove_filed(ld, cache, [cutoff](const LDAPMessage *chain) { return chain->lm_cached_time < cutoff; });
}

// Removes the filed chain with the earliest filing time (of equal times, the one filed first
// within its slot). False when nothing is filed.
bool remove_oldest_filed(LDAP *ld, LDAPResultCache *cache) {
    LDAPMessage **oldest = nullptr;
    for (LDAPMessage *&head : cache->ca_buckets) {
        for (LDAPMessage **place = &head; *place != nullptr; place = &(*place)->lm_list_next) {
            if (oldest == nullptr || (*place)->lm_cached_time <= (*oldest)->lm_cached_time) oldest = place;
        }
    }
    if (oldest == nullptr) return false;
    remove_chain(ld, cache, oldest, true);
    return true;
}

// Brings the account down to two thirds of the limit: first every expired entry goes, then the
// oldest entries one at a time until the account is low enough. Entries are not removed by
// clock readings alone (the clock may not have moved since the newest was filed, or may be fine
// enough that every entry is "older than now"): one by one the limit is met without emptying the
// cache, and every round removes an entry or ends. A limit whose two thirds lie below what an
// empty cache counts therefore keeps nothing filed.
void check_memory(LDAP *ld, LDAPResultCache *cache) {
    if (cache->ca_max_memory <= CACHE_EMPTY_MEMORY) return;
    const int64_t target = (2 * static_cast<int64_t>(cache->ca_max_memory)) / 3;
    if (cache->ca_memory_used <= target) return;
    remove_filed_before(ld, cache, wzdttme() - cache->ca_timeout);
    while (cache->ca_memory_used > target && remove_oldest_filed(ld, cache)) {}
}

// Drops pending operations whose request is no longer outstanding in the session (abandoned,
// never sent, or ended without a result the cache saw): no final result can file them any more.
void drop_orphaned_pending(LDAP *ld, LDAPResultCache *cache) {
    remove_from_list(ld, cache, &cache->ca_pending, false,
                     [ld](const LDAPMessage *chain) { return find_request_by_msgid(ld, chain->lm_id) == nullptr; });
}

// ---- Uncaching by DN ------------------------------------------------------------------------------

// True when the DN that `format` reads from a copy of `ber` equals `dn` (case folded), or cannot
// be read: an operation that might concern the DN is removed rather than left to answer with
// what may have changed.
bool reads_dn(LDAP *ld, const BerElement *ber, const char *format, bool skip_id, const char *dn, int32_t dn_length) {
    BerElement reader = *ber;
    int32_t id = 0;
    char *text = nullptr;
    int32_t tag = skip_id ? berscan(&reader, format, &id, &text) : berscan(&reader, format, &text);
    if (tag == -1) return true;
    const bool equal = wzsteqn(text, wzstlen(text), dn, dn_length) != 0;
    qor::pool_free(ld->ld_pool, text);
    return equal;
}

// True when the cached operation may concern `dn`: its request names it first (a search base, a
// compared entry), or, unless it is a compare, one of its entries carries it.
bool concerns_dn(LDAP *ld, const LDAPMessage *chain, const char *dn, int32_t dn_length) {
    if (reads_dn(ld, chain->lm_ber_elem, "{i{a", true, dn, dn_length)) return true;
    if (chain->lm_type == LDAP_REQ_COMPARE) return false;
    for (const LDAPMessage *message = chain->lm_chain_next; message != nullptr; message = message->lm_chain_next) {
        if (message->lm_type == LDAP_RES_SEARCH_ENTRY &&
            reads_dn(ld, message->lm_ber_elem, "{a", false, dn, dn_length)) {
            return true;
        }
    }
    return false;
}

// True when `dn` names an entry below `base` within `scope`: one level below it for a one-level
// search, any level for a subtree search. Names are compared as they stand, ignoring case.
bool lies_within(const char *dn, int32_t dn_length, const char *base, int32_t scope) {
    if (scope != LDAP_SCOPE_ONELEVEL && scope != LDAP_SCOPE_SUBTREE) return false;
    const int32_t base_length = wzstlen(base);
    int32_t relative = dn_length;  // length of the part of `dn` below `base`, without the comma
    if (base_length > 0) {
        relative = dn_length - base_length - 1;
        if (relative <= 0 || dn[relative] != ',' || wzsteqn(dn + relative + 1, base_length, base, base_length) == 0) {
            return false;
        }
    }
    if (relative <= 0 || scope == LDAP_SCOPE_SUBTREE) return relative > 0;
    for (int32_t i = 0; i < relative; ++i) {
        if (dn[i] == '\\') {
            ++i;
        } else if (dn[i] == ',') {
            return false;
        }
    }
    return true;
}

// True when a cached search might answer differently once the entry `dn` has changed: it may
// have returned the entry, or the entry lies within its base and scope (a filter the entry did
// not match may match it now). A request that cannot be read counts as one that might.
bool may_see_update(LDAP *ld, const LDAPMessage *chain, const char *dn, int32_t dn_length) {
    if (concerns_dn(ld, chain, dn, dn_length)) return true;
    if (chain->lm_type != LDAP_REQ_SEARCH) return false;
    BerElement reader = *chain->lm_ber_elem;
    int32_t id = 0;
    int32_t scope = 0;
    char *base = nullptr;
    if (berscan(&reader, "{i{ae", &id, &base, &scope) == -1) return true;
    const bool within = lies_within(dn, dn_length, base, scope);
    qor::pool_free(ld->ld_pool, base);
    return within;
}

// The keep rule of a final result: successes, the answers of a compare, a size-limited search
// unless options are set, and everything with CACHE_OPT_KEEP_ALL_ERRORS.
bool worth_keeping(int32_t type, int32_t code, uint32_t options) {
    if (code == LDAP_SUCCESS) return true;
    if (type == LDAP_RES_COMPARE &&
        (code == LDAP_COMPARE_FALSE || code == LDAP_COMPARE_TRUE || code == kNoSuchAttribute)) {
        return true;
    }
    if ((options & CACHE_OPT_KEEP_ALL_ERRORS) != 0) return true;
    return options == 0 && code == LDAP_SIZELIMIT_EXCEEDED;
}

bool is_cached_result(int32_t type) {
    return type == LDAP_RES_SEARCH_ENTRY || type == LDAP_RES_SEARCH_RESULT || type == LDAP_RES_COMPARE;
}

}  // namespace

int32_t ldap_enable_cache(LDAP *ld, int32_t timeout, int32_t max_memory) {
    if (ld == nullptr) return -1;
    LDAPResultCache *cache = cache_of(ld);
    if (cache == nullptr) {
        cache = qor::pool_new<LDAPResultCache>(ld->ld_pool);
        if (cache == nullptr) {
            ld->ld_errno = LDAP_NO_MEMORY;
            return -1;
        }
        cache->ca_memory_used = CACHE_EMPTY_MEMORY;
        ld->ld_result_cache = cache;
    }
    cache->ca_timeout = timeout;
    cache->ca_max_memory = max_memory;
    check_memory(ld, cache);
    cache->ca_enabled = 1;
    return 0;
}

void ldap_disable_cache(LDAP *ld) {
    if (LDAPResultCache *cache = cache_of(ld)) cache->ca_enabled = 0;
}

void ldap_set_cache_options(LDAP *ld, uint32_t options) {
    if (LDAPResultCache *cache = cache_of(ld)) cache->ca_options = options;
}

void ldap_flush_cache(LDAP *ld) {
    LDAPResultCache *cache = cache_of(ld);
    if (cache == nullptr) return;
    remove_everywhere(ld, cache, [](const LDAPMessage *) { return true; });
    cache->ca_memory_used = CACHE_EMPTY_MEMORY;
}

void ldap_destroy_cache(LDAP *ld) {
    LDAPResultCache *cache = cache_of(ld);
    if (cache == nullptr) return;
    ldap_flush_cache(ld);
    qor::pool_free(ld->ld_pool, cache);
    ld->ld_result_cache = nullptr;
}

void ldap_uncache_request(LDAP *ld, int32_t msgid) {
    LDAPResultCache *cache = cache_of(ld);
    if (cache == nullptr) return;
    remove_everywhere(ld, cache, [msgid](const LDAPMessage *chain) { return chain->lm_id == msgid; });
}

void ldap_uncache_entry(LDAP *ld, const char *dn) {
    LDAPResultCache *cache = cache_of(ld);
    if (cache == nullptr) return;
    const int32_t dn_length = wzstlen(dn);
    remove_everywhere(ld, cache,
                      [ld, dn, dn_length](const LDAPMessage *chain) { return concerns_dn(ld, chain, dn, dn_length); });
}

void uncache_updated_entry(LDAP *ld, const char *dn) {
    LDAPResultCache *cache = cache_of(ld);
    if (cache == nullptr || dn == nullptr) return;
    const int32_t dn_length = wzstlen(dn);
    remove_everywhere(
        ld, cache, [ld, dn, dn_length](const LDAPMessage *chain) { return may_see_update(ld, chain, dn, dn_length); });
}

void add_request_to_cache(LDAP *ld, int32_t msgtype, BerElement *request) {
    ld->ld_errno = LDAP_SUCCESS;
    LDAPResultCache *cache = cache_of(ld);
    if (cache == nullptr || cache->ca_enabled == 0) return;
    drop_orphaned_pending(ld, cache);

    HostPool *pool = ld->ld_pool;
    const BerElement written = qor::written_view(request);
    auto *record = qor::pool_new<LDAPMessage>(pool);
    BerElement *copy = record != nullptr ? qor::copy_element(&written) : nullptr;
    if (copy == nullptr) {
        qor::pool_free(pool, record);
        ld->ld_errno = LDAP_NO_MEMORY;
        return;
    }
    record->lm_id = ld->ld_last_msgid;
    record->lm_type = msgtype;
    record->lm_ber_elem = copy;
    record->lm_list_next = cache->ca_pending;
    cache->ca_pending = record;
}

void add_result_to_cache(LDAP *ld, LDAPMessage *message) {
    LDAPResultCache *cache = cache_of(ld);
    if (cache == nullptr || cache->ca_enabled == 0 || !is_cached_result(message->lm_type)) return;
    LDAPMessage **place = &cache->ca_pending;
    while (*place != nullptr && (*place)->lm_id != message->lm_id) place = &(*place)->lm_list_next;
    LDAPMessage *request = *place;
    if (request == nullptr) return;

    LDAPMessage *copy = copy_message(ld->ld_pool, message, message->lm_id);
    if (copy == nullptr) {
        // A chain missing a message would later answer with results the server did give: the
        // operation is not cached at all.
        remove_chain(ld, cache, place, false);
        return;
    }
    qor::append_to_chain(request, copy);
    if (message->lm_type == LDAP_RES_SEARCH_ENTRY) return;

    const int32_t code = ldap_result2error(ld, message, 0);
    *place = request->lm_list_next;
    request->lm_list_next = nullptr;
    qor::finish_chain(request);
    if (!worth_keeping(message->lm_type, code, cache->ca_options)) {
        ldap_msgfree(ld->ld_pool, request);
        return;
    }
    const uint8_t *bytes = nullptr;
    int32_t length = 0;
    const bool parsed = operation_bytes(request->lm_ber_elem, &bytes, &length);
    LDAPMessage *&slot = cache->ca_buckets[slot_of(parsed, length)];
    request->lm_list_next = slot;
    slot = request;
    request->lm_cached_time = wzdttme();
    account(cache, chain_memory(request));
    check_memory(ld, cache);
}

int32_t check_cache(LDAP *ld, int32_t msgtype, BerElement *request) {
    LDAPResultCache *cache = cache_of(ld);
    if (cache == nullptr || cache->ca_enabled == 0) return -1;
    const BerElement written = qor::written_view(request);
    const uint8_t *bytes = nullptr;
    int32_t length = 0;
    const bool parsed = operation_bytes(&written, &bytes, &length);
    const double cutoff = wzdttme() - cache->ca_timeout;

    LDAPMessage **place = &cache->ca_buckets[slot_of(parsed, length)];
    while (*place != nullptr) {
        LDAPMessage *entry = *place;
        if (entry->lm_cached_time < cutoff) {
            remove_chain(ld, cache, place, true);
        } else if (parsed && same_request(entry, msgtype, bytes, length)) {
            break;
        } else {
            place = &entry->lm_list_next;
        }
    }
    if (*place == nullptr) return -1;

    // The answer is queued only once every copy exists: a partial answer under the new id would
    // mix with the server's answer when the request is then sent.
    LDAPMessage *answer = copy_answers(ld->ld_pool, (*place)->lm_chain_next, ld->ld_last_msgid);
    if (answer == nullptr) return -1;
    qor::queue_chain(ld, answer);
    return 0;
}
