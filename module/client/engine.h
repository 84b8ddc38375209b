// Private helpers of the protocol engine shared by dispatch, reception, abandon and referrals.
#pragma once

#include "client.h"

namespace qor {

// What a step of the reader came to. With kHandedOut a message, or a whole search, is in the
// caller's place; the other outcomes leave the place as it was.
enum class Reception {
    kHandedOut,
    kNothingYet,  // nothing for the caller yet: waiting goes on
    kTimedOut,    // the caller's wait has passed (ld_errno LDAP_TIMEOUT)
    kEnded,       // the connection read from has ended (ld_errno LDAP_SERVER_DOWN)
    kFailed,      // ld_errno says why
};

// ---- Reception (ldresult) --------------------------------------------------------------------

// The end of the search started as `msgid`, as await_result_code waits for it (wait_ms 0: the
// session's time limit, which bounds the whole wait), except that every entry goes to `receiver`
// as it is read, in the order the whole chain would have had. *final takes the final result.
int32_t await_search_entries(LDAP *ld, int32_t msgid, int32_t wait_ms, EntryReceiver receiver, LDAPMessage **final);

// ---- Message chains and the queue of received results (ldqueue) ----------------------------

// Appends `message` at the end of the chain headed by `head` (a chain being gathered or queued).
void append_to_chain(LDAPMessage *head, LDAPMessage *message);
// Makes a chain gathered with append_to_chain a plain chain, ready to be handed out.
void finish_chain(LDAPMessage *head);
// Files `message` with the queued chain of its id, or as a new chain at the head of the queue.
// Answers the head of the chain it is in.
LDAPMessage *queue_message(LDAP *ld, LDAPMessage *message);
// Puts a whole chain (gathered with append_to_chain) at the head of the queue.
void queue_chain(LDAP *ld, LDAPMessage *chain);
// Takes the queued chain of `id` out of the queue, whole; null when none is queued.
LDAPMessage *take_queued_chain(LDAP *ld, int32_t id);
// Hands out what is queued for `msgid` (-1: any) as ldap_result would, after discarding the
// chains of abandoned ids: with all = 0 the first message of a chain, otherwise a whole chain,
// a search only once its final result is in.
Reception take_queued_response(LDAP *ld, int32_t msgid, int32_t all, LDAPMessage **result);
// The type ldap_result answers for a message or chain it handed out: the message's own, or for
// a whole search (all set) its final result's.
int32_t answer_type(const LDAPMessage *handed_out, int32_t all);

// ---- Requests and connections --------------------------------------------------------------

// The top-level request of the referral tree `request` belongs to.
inline LDAPPendingRequest *top_level_request(LDAPPendingRequest *request) {
    while (request->rq_parent != nullptr) request = request->rq_parent;
    return request;
}

// Gives back the use of its connection that `request` holds, if it still holds one. A request
// holds exactly one use from the moment it is sent until its result has been read (for a
// request that chased referrals: until the results of all its descendants are in) or it is
// abandoned; rq_conn is null once the use has been given back.
inline void release_connection_use(LDAP *ld, LDAPPendingRequest *request) {
    LDAPConnection *conn = request->rq_conn;
    if (conn == nullptr) return;
    request->rq_conn = nullptr;
    free_connection(ld, conn, qor::kOneUse, qor::kSendUnbind);
}

// Closes the socket of a connection that has ended (or that is released) and releases its
// read-ahead buffer; the connection is CONN_CLOSED from then on, so that its socket buffer may
// serve another connection. A connection closed already is left as it is.
void close_socket_of(LDAP *ld, LDAPConnection *conn);

// ---- The session's own connection (ldopen, ldosip, ldreconnect, ldresult) ------------------------

// Reads what an idle connection (no request holds it) has received already, waiting for nothing
// new: late answers to abandoned requests are dropped, and the end of the stream or a notice of
// disconnection ends the connection. True when it still takes requests.
// ld_errno is kept.
bool idle_connection_usable(LDAP *ld, LDAPConnection *conn);

// A server entry for `length` bytes of the session's host text (null: the IPv4 loopback) at the
// session's default port; null with ld_errno LDAP_NO_MEMORY.
LDAPServerEntry *session_server(LDAP *ld, const char *hosts, int32_t length);

// The length of the entry of a blank-separated host list that begins at `start`; *next is where
// the entry after it begins (`length` when none follows: a list that ends in blanks has no empty
// last entry).
int32_t host_entry_at(const char *hosts, int32_t length, int32_t start, int32_t *next);

// The connection a request that names none goes out on: the default connection. When that has
// ended (noticed here too for an idle one its server has closed) and the session reconnects
// (OPT_NO_RECONNECT clear), a new default connection to the session's host list, bound as the
// session was, takes its place first: one attempt per call. Null, or a connection that takes no
// requests, when there is none to use; ld_errno then says why (LDAP_SERVER_DOWN after a failed
// reconnect, ld_error its reason when there is one).
LDAPConnection *connection_for_request(LDAP *ld);

// A copy of a bind's DN and password, taken before the bind goes out so that a session bound
// successfully always knows how to bind again.
struct BindIdentity {
    char *dn = nullptr;
    char *password = nullptr;
};
// False, with ld_errno LDAP_NO_MEMORY, when the pool cannot hold the copy.
bool copy_bind_identity(LDAP *ld, const char *dn, const char *password, BindIdentity *identity);
// The identity becomes the session's (the one it replaces is overwritten and released).
void adopt_bind_identity(LDAP *ld, BindIdentity *identity);
// Overwrites and releases a copy (null members are ignored).
void discard_bind_identity(LDAP *ld, BindIdentity *identity);

// Appends the lines of a referral text (with or without its leading "Referral:\n") to the
// referral text in `place`, so that the marker is never repeated. 0, or -1 with ld_errno 90.
int32_t append_referral_lines(LDAP *ld, char **place, const char *referral_text);

// re_encode_request for a referral URL: a search also takes the URL's `scope` (kUrlNoScope: its
// own) and `filter` (null: its own; a text the filter encoder may change while it works).
BerElement *re_encode_referred(LDAP *ld, BerElement *original, int32_t msgid, char **dn, int32_t scope, char *filter);

// ---- Results of requests (ldfold) ------------------------------------------------------------

// What became of a result read for a request.
enum class Settled {
    kDeliver,     // the element holds a message to deliver: the whole tree's result, or as received
    kNothingYet,  // the result went into the request's tree, or set off referral requests
    kFailed,      // nothing to deliver; ld_errno says why
};

// The result for `request` has arrived in `ber`. Chases its referrals, or folds it into the
// requests above it. With kDeliver, *id and *type are the message's id and type.
Settled settle_result(LDAP *ld, LDAPPendingRequest *request, BerElement *ber, int32_t *id, int32_t *type);

// The code of a notice of disconnection (an unsolicited extended response whose name is
// 1.3.6.1.4.1.1466.20036; LDAP_SERVER_DOWN when it says success), or -1 for any other message.
int32_t disconnection_notice_code(const BerElement *ber);

// A search reference (its URLs) has arrived for `request`: its URLs join the request's
// rq_references, chased or shown when the request's own result comes.
void keep_reference(LDAP *ld, LDAPPendingRequest *request, const BerElement *ber);

// `conn` has ended (the stream closed or broke, a notice of disconnection came): every request
// still waiting on it ends with `code`. A referral request folds into its tree as if its
// result had carried the code (a tree that completes so has its result queued); a top-level
// request is left REQ_ENDED for the next wait on it. The connection is read no more and takes
// no new request; it is released once its last use goes.
void end_connection(LDAP *ld, LDAPConnection *conn, int32_t code);

// Reports an ended request the caller waits for (`msgid`, or any with -1): releases it with
// whatever was queued for it, leaves its code in ld_errno and answers true.
bool take_ended_request(LDAP *ld, int32_t msgid);

}  // namespace qor
