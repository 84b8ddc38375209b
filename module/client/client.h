// The protocol client's operations. Every operation takes the session handle first unless it
// says otherwise; ownership follows the records in ldap.h: everything comes from and goes back
// to the session pool.
//
// Where things live (one concern per unit):
//   ldopen     ldap_init, ldap_open: a handle in its own pool, the default connection
//   ldosip     connecting to the first reachable entry of a host list, closing a socket
//   ldosip2    read readiness: registering sockets with the session's event, the wait
//   ldunbind   teardown: unbind requests, ldap_ld_free
//   ldreq      request dispatch and the connection pool (new, found, used, released)
//   ldresult   the reader: ldap_result, wait4msg, read1msg, and the wait that hands a search's
//              entries over one by one as they arrive (await_search_entries)
//   ldfold     results of requests: referral trees settling, requests whose connection ended,
//              search references, notices of disconnection
//   ldqueue    message chains and the queue of received results; ldap_msgfree, ldap_msgdelete
//   ldrefer    referral chasing: referral texts, re-encoded requests to referred servers
//   ldaband    abandon and the abandoned ids
//   ldcontrol  controls of requests and results (ldcontrol.h)
//   ldsearch, ldfilter (ldfilter.h)        search requests and the string filter encoder
//   ldadd, ldmodify, ldelete, ldcompar, ldrename, ldbind, ldsbind   the other requests (ldops.h)
//   lderror, ldgetent, ldgetdn, ldgetatt, ldgetval   result parsing and the error table
//   ldcache    the result cache (ldcache.h)
//   ldb64, ldtrans   Base64 and the string translators (ldb64.h, ldtrans.h)
//   buffers    every touch of the codec's element and socket-buffer pointers (buffers.h)
//   engine.h   what dispatch, reception, folding, abandon and referrals share internally
#pragma once

#include <cstdint>

#include "../host/export.h"
#include "ldap.h"

// Flag values of the operations below, named where they are passed (the exported signatures keep
// plain 32-bit flags).
namespace qor {
// new_connection: whose socket buffer the connection reads through, that it connects, and
// whether it binds as a connection to a referred server.
inline constexpr int32_t kOwnSocketBuffer = 0;
inline constexpr int32_t kSessionSocketBuffer = 1;
inline constexpr int32_t kConnect = 1;
inline constexpr int32_t kBindForReferral = 1;
inline constexpr int32_t kBindAsSession = 2;  // with the identity of the session's last bind
inline constexpr int32_t kNoBind = 0;
// free_connection: one use given back, or the connection released whatever its uses; whether the
// server is told with an unbind request first. ldap_ld_free takes the latter too.
inline constexpr int32_t kOneUse = 0;
inline constexpr int32_t kForce = 1;
inline constexpr int32_t kSendUnbind = 1;
inline constexpr int32_t kNoUnbind = 0;
// berfree: whether the element's buffer goes with it.
inline constexpr int32_t kWithBuffer = 1;
inline constexpr int32_t kKeepBuffer = 0;
// ldap_result: a search whole, with its final result, or message by message.
inline constexpr int32_t kWholeResult = 1;
inline constexpr int32_t kOneMessage = 0;
}  // namespace qor

// --- ldopen, ldosip, ldosip2, ldunbind: session creation, sockets, readiness, teardown -----------

// New handle in its own pool, no connection; null when the pool or handle cannot be had.
QOR_EXPORT LDAP *ldap_init(const char *host, int32_t port);
// Handle with its default connection open (not bound), or null.
QOR_EXPORT LDAP *ldap_open(const char *host, int32_t port);
// Opens the default connection of a handle from ldap_init to its ld_default_host and port, with
// the session's TLS settings and option word as they are now. 0, or -1 with ld_errno (and for a
// TLS failure or a refused StartTLS ld_error) telling why; the handle stays as it was.
QOR_EXPORT int32_t open_default_connection(LDAP *ld);
// Connects `sb` to the first reachable entry of a blank-separated list of "host[:port]" entries
// and LDAP URLs (ldurl.h; null: IPv4 loopback). An ldaps URL gets TLS at once, and with
// OPT_START_TLS or OPT_TRY_START_TLS a plain entry exchanges StartTLS before it counts as
// reached. 0 when connected (ld_errno unchanged), -1 when no entry could be reached (ld_errno is
// the last entry's reason). `host` is never modified.
QOR_EXPORT int32_t open_ldap_connection(LDAP *ld, LDAPSocketBuffer *sb, const char *host, int32_t default_port);
QOR_EXPORT int32_t connect_to_host(LDAPSocketBuffer *sb, const char *host, int32_t port);
QOR_EXPORT void close_connection(LDAPSocketBuffer *sb);
QOR_EXPORT void mark_select_read(LDAP *ld, LDAPSocketBuffer *sb);
QOR_EXPORT void mark_select_clear(LDAP *ld, LDAPSocketBuffer *sb);
QOR_EXPORT int32_t is_read_ready(LDAP *ld, LDAPSocketBuffer *sb);
// Blocks until a socket of the session is readable (1), the timeout passes (0) or the wait
// fails (-1). timeout_ms -1 waits without limit.
QOR_EXPORT int32_t do_ldap_select(LDAP *ld, int32_t timeout_ms);
QOR_EXPORT int32_t ldap_unbind(LDAP *ld);
QOR_EXPORT int32_t ldap_unbind_s(LDAP *ld);
// Releases the session and destroys its pool; with send_unbind set each server is told first.
QOR_EXPORT int32_t ldap_ld_free(LDAP *ld, int32_t send_unbind_flag);
QOR_EXPORT int32_t send_unbind(LDAP *ld, LDAPSocketBuffer *sb);

// --- ldreq: request dispatch and the connection pool ---------------------------------------------

QOR_EXPORT BerElement *alloc_ber_with_options(LDAP *ld);
QOR_EXPORT void set_ber_options(LDAP *ld, BerElement *ber);
// Sends `ber` (ownership passes) under the current ld_last_msgid; the id, or -1 with ld_errno.
QOR_EXPORT int32_t send_initial_request(LDAP *ld, int32_t tag, const char *dn, BerElement *ber);
QOR_EXPORT int32_t send_server_request(LDAP *ld, BerElement *ber, int32_t msgid, LDAPPendingRequest *parent,
                                       LDAPServerEntry *servers, LDAPConnection *conn, int32_t bind);
QOR_EXPORT LDAPConnection *new_connection(LDAP *ld, LDAPServerEntry **servers, int32_t use_session_sockbuf,
                                          int32_t connect, int32_t bind);
QOR_EXPORT LDAPConnection *find_connection(LDAP *ld, LDAPServerEntry *servers, int32_t any);
QOR_EXPORT void use_connection(LDAP *ld, LDAPConnection *conn);
QOR_EXPORT void free_connection(LDAP *ld, LDAPConnection *conn, int32_t force, int32_t unbind);
QOR_EXPORT void free_request(LDAP *ld, LDAPPendingRequest *request);
QOR_EXPORT void free_servers(LDAP *ld, LDAPServerEntry *servers);
QOR_EXPORT LDAPPendingRequest *find_request_by_msgid(LDAP *ld, int32_t msgid);

// --- ldresult, ldfold, ldqueue: result reception -------------------------------------------------

// Next message for `msgid` (-1: any); with all = 1 a search comes as one whole chain.
// Answers the message type, 0 on time-out, -1 on failure; timeout_ms 0 means ld_timelimit.
QOR_EXPORT int32_t ldap_result(LDAP *ld, int32_t msgid, int32_t all, int32_t timeout_ms, LDAPMessage **result);
QOR_EXPORT int32_t wait4msg(LDAP *ld, int32_t msgid, int32_t all, int32_t timeout_ms, LDAPMessage **result);
QOR_EXPORT int32_t read1msg(LDAP *ld, int32_t msgid, int32_t all, LDAPSocketBuffer *sb, LDAPConnection *conn,
                            LDAPMessage **result);
QOR_EXPORT int32_t build_result_ber(LDAP *ld, BerElement *ber, LDAPPendingRequest *request);
QOR_EXPORT void merge_error_info(LDAP *ld, LDAPPendingRequest *parent, LDAPPendingRequest *child);
// Releases a chain into the pool; answers the type of its last message, 0 for null.
QOR_EXPORT int32_t ldap_msgfree(HostPool *pool, LDAPMessage *chain);
QOR_EXPORT int32_t ldap_msgdelete(LDAP *ld, int32_t msgid);

// --- ldaband: abandon ----------------------------------------------------------------------------

QOR_EXPORT int32_t ldap_abandoned(LDAP *ld, int32_t msgid);
QOR_EXPORT int32_t ldap_mark_abandoned(LDAP *ld, int32_t msgid);
QOR_EXPORT int32_t ldap_abandon(LDAP *ld, int32_t msgid);
QOR_EXPORT int32_t do_abandon(LDAP *ld, int32_t origin_msgid, int32_t msgid);

// --- ldrefer: referral chasing -------------------------------------------------------------------

QOR_EXPORT int32_t chase_referrals(LDAP *ld, LDAPPendingRequest *request, char **error_text, int32_t *had_referrals);
QOR_EXPORT int32_t append_referral(LDAP *ld, char **referrals, const char *line);
QOR_EXPORT BerElement *re_encode_request(LDAP *ld, BerElement *original, int32_t msgid, char **dn);

// --- ldsearch, ldfilter: search requests and filters ---------------------------------------------

QOR_EXPORT int32_t ldap_search(LDAP *ld, const char *base, int32_t scope, const char *filter, char **attrs,
                               int32_t attrsonly);
QOR_EXPORT int32_t ldap_search_s(LDAP *ld, const char *base, int32_t scope, const char *filter, char **attrs,
                                 int32_t attrsonly, LDAPMessage **result);
QOR_EXPORT BerElement *ldap_build_search_req(LDAP *ld, const char *base, int32_t scope, const char *filter,
                                             char **attrs, int32_t attrsonly);
// The filter encoders work in place on a modifiable copy and restore every byte they cut.
QOR_EXPORT int32_t put_filter(BerElement *ber, char *filter);
QOR_EXPORT int32_t put_filter_list(BerElement *ber, char *list);
QOR_EXPORT char *put_complex_filter(BerElement *ber, char *text, int32_t tag);
QOR_EXPORT int32_t put_simple_filter(BerElement *ber, char *item);
QOR_EXPORT int32_t put_substring_filter(BerElement *ber, char *type, char *value);
QOR_EXPORT char *find_right_paren(char *text);

// Writes the filter element(s) of a search into `ber` from `context`. Answers 0, or the LDAP
// result code of its failure (left in ld_errno; a negative answer counts as LDAP_FILTER_ERROR).
using FilterWriter = int32_t (*)(BerElement *ber, const void *context);
// ldap_search_s with a filter written by `write` instead of parsed from a text: for assertion
// values the string syntax cannot carry. Same request, cache, wait and result as ldap_search_s.
QOR_EXPORT int32_t search_with_filter_s(LDAP *ld, const char *base, int32_t scope, FilterWriter write,
                                        const void *context, char **attrs, int32_t attrsonly, LDAPMessage **result);
// Writes an equality filter element for `type` and `value` taken as they are (no escapes, no
// "*" meaning); 0, or -1 when the codec fails.
QOR_EXPORT int32_t put_equality_filter(BerElement *ber, const char *type, const char *value);

namespace qor {
// Takes the entries of a search one at a time, as they are read: each entry is a message of its
// own that passes to `take`, which releases it (ldap_msgfree) once done with it.
struct EntryReceiver {
    void (*take)(void *context, LDAP *ld, LDAPMessage *entry);
    void *context;
};
// search_with_filter_s (attrsonly 0) that hands each entry to `receiver` as it arrives instead
// of gathering the chain, so that the caller works while the server sends and no entry waits for
// the last. Same request, cache, wait and answer; *final is left holding the final result alone
// (the caller's to release), null after a failure or a time-out, which may come after entries
// were handed over.
int32_t search_entries_s(LDAP *ld, const char *base, int32_t scope, FilterWriter write, const void *context,
                         char **attrs, EntryReceiver receiver, LDAPMessage **final);
}  // namespace qor

// --- ldadd, ldmodify, ldelete, ldcompar, ldrename: updates and compare ---------------------------

QOR_EXPORT int32_t ldap_add(LDAP *ld, const char *dn, LDAPMod **attrs);
QOR_EXPORT int32_t ldap_add_s(LDAP *ld, const char *dn, LDAPMod **attrs);
QOR_EXPORT int32_t ldap_modify(LDAP *ld, const char *dn, LDAPMod **mods);
QOR_EXPORT int32_t ldap_modify_s(LDAP *ld, const char *dn, LDAPMod **mods);
QOR_EXPORT int32_t ldap_delete(LDAP *ld, const char *dn);
QOR_EXPORT int32_t ldap_delete_s(LDAP *ld, const char *dn);
QOR_EXPORT int32_t ldap_compare(LDAP *ld, const char *dn, const char *type, const char *value);
QOR_EXPORT int32_t ldap_compare_s(LDAP *ld, const char *dn, const char *type, const char *value);
// Renames the entry `dn` to `new_rdn`, below `new_superior` when it is not null (else below its
// parent); with delete_old_rdn set the values of the old RDN leave the entry.
QOR_EXPORT int32_t ldap_rename(LDAP *ld, const char *dn, const char *new_rdn, const char *new_superior,
                               int32_t delete_old_rdn);
QOR_EXPORT int32_t ldap_rename_s(LDAP *ld, const char *dn, const char *new_rdn, const char *new_superior,
                                 int32_t delete_old_rdn);

// --- ldbind, ldsbind: binds ----------------------------------------------------------------------

QOR_EXPORT int32_t ldap_bind(LDAP *ld, const char *dn, const char *credentials, int32_t method);
QOR_EXPORT int32_t ldap_bind_s(LDAP *ld, const char *dn, const char *credentials, int32_t method);
QOR_EXPORT int32_t ldap_simple_bind(LDAP *ld, const char *dn, const char *password);
QOR_EXPORT int32_t ldap_simple_bind_s(LDAP *ld, const char *dn, const char *password);
QOR_EXPORT void ldap_set_rebind_proc(LDAP *ld, RebindProc proc);

// --- lderror, ldgetent, ldgetdn, ldgetatt, ldgetval: result parsing ------------------------------

struct LDAPErrorText {
    int32_t e_code;
    const char *e_reason;
};
QOR_EXPORT const LDAPErrorText ldap_errlist[];

QOR_EXPORT int32_t ldap_result2error(LDAP *ld, LDAPMessage *result, int32_t free_it);
QOR_EXPORT const char *ldap_err2string(int32_t code);
QOR_EXPORT void ldap_perror(LDAP *ld, const char *prefix);
QOR_EXPORT LDAPMessage *ldap_first_entry(LDAP *ld, LDAPMessage *chain);
QOR_EXPORT LDAPMessage *ldap_next_entry(LDAP *ld, LDAPMessage *entry);
QOR_EXPORT int32_t ldap_count_entries(LDAP *ld, LDAPMessage *chain);
QOR_EXPORT char *ldap_get_dn(LDAP *ld, LDAPMessage *entry);
QOR_EXPORT char *ldap_first_attribute(LDAP *ld, LDAPMessage *entry, BerElement **iteration);
QOR_EXPORT char *ldap_next_attribute(LDAP *ld, LDAPMessage *entry, BerElement *iteration);
QOR_EXPORT char **ldap_get_values(LDAP *ld, LDAPMessage *entry, const char *type);
QOR_EXPORT berval **ldap_get_values_len(LDAP *ld, LDAPMessage *entry, const char *type);
QOR_EXPORT int32_t ldap_count_values(char **values);
QOR_EXPORT int32_t ldap_count_values_len(berval **values);
QOR_EXPORT void ldap_value_free(HostPool *pool, char **values);
QOR_EXPORT void ldap_value_free_len(HostPool *pool, berval **values);

// --- ldcache: the result cache -------------------------------------------------------------------

inline constexpr uint32_t CACHE_OPT_KEEP_ALL_ERRORS = 0x02;

QOR_EXPORT int32_t ldap_enable_cache(LDAP *ld, int32_t timeout, int32_t max_memory);
QOR_EXPORT void ldap_disable_cache(LDAP *ld);
QOR_EXPORT void ldap_set_cache_options(LDAP *ld, uint32_t options);
QOR_EXPORT void ldap_flush_cache(LDAP *ld);
QOR_EXPORT void ldap_destroy_cache(LDAP *ld);
QOR_EXPORT void ldap_uncache_request(LDAP *ld, int32_t msgid);
QOR_EXPORT void ldap_uncache_entry(LDAP *ld, const char *dn);
// After a successful update of the entry `dn` through the session: forgets every cached operation
// that may now answer differently (those ldap_uncache_entry removes, and the searches whose base
// and scope take the entry in), so the session reads its own writes.
QOR_EXPORT void uncache_updated_entry(LDAP *ld, const char *dn);
QOR_EXPORT void add_request_to_cache(LDAP *ld, int32_t msgtype, BerElement *request);
QOR_EXPORT void add_result_to_cache(LDAP *ld, LDAPMessage *message);
QOR_EXPORT int32_t check_cache(LDAP *ld, int32_t msgtype, BerElement *request);
