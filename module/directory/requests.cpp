// What a directory function's requests leave behind. Every directory function waits for the
// result of what it sends; a request whose result it did not get whole (a time-out, a result
// that could not be read) would otherwise stay pending for the life of the session, and its
// results, late or partly read, would stay queued where no one ever collects them.
#include "directory.h"

namespace {

// The first top-level request from `first_id` on that is still pending, or null.
LDAPPendingRequest *pending_from(LDAP *ld, int32_t first_id) {
    for (LDAPPendingRequest *request = ld->ld_pending_requests; request != nullptr; request = request->rq_next) {
        if (request->rq_parent == nullptr && request->rq_msgid >= first_id) return request;
    }
    return nullptr;
}

// The first queued result chain of an id from `first_id` on, or null.
LDAPMessage *queued_from(LDAP *ld, int32_t first_id) {
    for (LDAPMessage *chain = ld->ld_queued_responses; chain != nullptr; chain = chain->lm_list_next) {
        if (chain->lm_id >= first_id) return chain;
    }
    return nullptr;
}

}  // namespace

namespace qor::ds {

void release_leftovers(LDAP *ld, int32_t first_id) {
    const int32_t reported = ld->ld_errno;
    for (LDAPPendingRequest *orphan = pending_from(ld, first_id); orphan != nullptr;
         orphan = pending_from(ld, first_id)) {
        // A first abandon may only discard results already queued for the request.
        const int32_t id = orphan->rq_msgid;
        for (int attempt = 0; attempt < 2 && find_request_by_msgid(ld, id) != nullptr; ++attempt) {
            ldap_abandon(ld, id);
        }
        if (find_request_by_msgid(ld, id) != nullptr) break;  // cannot be released: leave it
    }
    for (LDAPMessage *chain = queued_from(ld, first_id); chain != nullptr;) {
        ldap_msgdelete(ld, chain->lm_id);  // answers -1 for a chain cut short, released all the same
        LDAPMessage *next = queued_from(ld, first_id);
        if (next == chain) break;
        chain = next;
    }
    ld->ld_errno = reported;
}

}  // namespace qor::ds
