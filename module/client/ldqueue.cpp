// Message chains and the queue of received results. The messages of one operation form a chain
// (lm_chain_next); ld_queued_responses lists chains not yet handed out (lm_list_next), at most
// one per message id.
//
// A chain of several messages keeps its last message in the lm_list_next of its second message
// (inside a chain that field has no other use), so that a long search grows at the same cost
// per message as a short one. Only this unit sets or reads that link, and it removes it whenever
// messages leave the queue: a message handed to a caller always has lm_list_next null.
#include "../host/services.h"
#include "client.h"
#include "engine.h"
#include "pool.h"

namespace {

bool is_search_message(int32_t type) {
    return type == LDAP_RES_SEARCH_ENTRY || type == LDAP_RES_SEARCH_RESULT;
}

// True when the chain holds the final result of its search.
bool holds_search_result(const LDAPMessage *chain) {
    for (; chain != nullptr; chain = chain->lm_chain_next) {
        if (chain->lm_type == LDAP_RES_SEARCH_RESULT) return true;
    }
    return false;
}

LDAPMessage *last_of_chain(LDAPMessage *head) {
    LDAPMessage *second = head->lm_chain_next;
    return second != nullptr ? second->lm_list_next : head;
}

// Removes the chain's last-message link, so the chain can leave the queue.
void clear_last_link(LDAPMessage *head) {
    if (head->lm_chain_next != nullptr) head->lm_chain_next->lm_list_next = nullptr;
}

// The place in the queue that holds the chain of `id`, or the place at its end.
LDAPMessage **place_of(LDAP *ld, int32_t id) {
    LDAPMessage **place = &ld->ld_queued_responses;
    while (*place != nullptr && (*place)->lm_id != id) place = &(*place)->lm_list_next;
    return place;
}

// Unlinks the chain at *place from the queue, whole.
LDAPMessage *unlink_chain(LDAPMessage **place) {
    LDAPMessage *chain = *place;
    *place = chain->lm_list_next;
    chain->lm_list_next = nullptr;
    clear_last_link(chain);
    return chain;
}

// Unlinks the first message of the chain at *place; the rest of the chain takes its place in
// the queue, keeping the queue's continuation.
LDAPMessage *unlink_first(LDAPMessage **place) {
    LDAPMessage *first = *place;
    LDAPMessage *rest = first->lm_chain_next;
    LDAPMessage *last = rest->lm_list_next;
    rest->lm_list_next = first->lm_list_next;
    if (rest->lm_chain_next != nullptr) rest->lm_chain_next->lm_list_next = last;
    *place = rest;
    first->lm_chain_next = nullptr;
    first->lm_list_next = nullptr;
    return first;
}

}  // namespace

namespace qor {

void append_to_chain(LDAPMessage *head, LDAPMessage *message) {
    last_of_chain(head)->lm_chain_next = message;
    head->lm_chain_next->lm_list_next = message;
}

void finish_chain(LDAPMessage *head) {
    clear_last_link(head);
}

LDAPMessage *queue_message(LDAP *ld, LDAPMessage *message) {
    LDAPMessage **place = place_of(ld, message->lm_id);
    if (*place != nullptr) {
        append_to_chain(*place, message);
        return *place;
    }
    message->lm_list_next = ld->ld_queued_responses;
    ld->ld_queued_responses = message;
    return message;
}

void queue_chain(LDAP *ld, LDAPMessage *chain) {
    chain->lm_list_next = ld->ld_queued_responses;
    ld->ld_queued_responses = chain;
}

LDAPMessage *take_queued_chain(LDAP *ld, int32_t id) {
    LDAPMessage **place = place_of(ld, id);
    return *place != nullptr ? unlink_chain(place) : nullptr;
}

Reception take_queued_response(LDAP *ld, int32_t msgid, int32_t all, LDAPMessage **result) {
    LDAPMessage **place = &ld->ld_queued_responses;
    while (*place != nullptr) {
        LDAPMessage *chain = *place;
        if (ldap_abandoned(ld, chain->lm_id) != 0) {
            ldap_mark_abandoned(ld, chain->lm_id);
            ldap_msgfree(ld->ld_pool, unlink_chain(place));
            continue;
        }
        bool wanted = msgid == -1 || chain->lm_id == msgid;
        if (wanted && (all == 0 || !is_search_message(chain->lm_type) || holds_search_result(chain))) {
            *result = all == 0 && chain->lm_chain_next != nullptr ? unlink_first(place) : unlink_chain(place);
            ld->ld_errno = LDAP_SUCCESS;
            return Reception::kHandedOut;
        }
        // A search still missing its final result: later chains may be complete already.
        place = &chain->lm_list_next;
    }
    return Reception::kNothingYet;
}

int32_t answer_type(const LDAPMessage *handed_out, int32_t all) {
    // A whole search is answered as its final result.
    return all != 0 && is_search_message(handed_out->lm_type) ? LDAP_RES_SEARCH_RESULT : handed_out->lm_type;
}

}  // namespace qor

int32_t ldap_msgfree(HostPool *pool, LDAPMessage *chain) {
    int32_t type = 0;
    while (chain != nullptr) {
        LDAPMessage *next = chain->lm_chain_next;
        type = chain->lm_type;
        berfree(chain->lm_ber_elem, qor::kWithBuffer);
        qor::pool_free(pool, chain);
        chain = next;
    }
    return type;
}

int32_t ldap_msgdelete(LDAP *ld, int32_t msgid) {
    LDAPMessage *chain = qor::take_queued_chain(ld, msgid);
    if (chain == nullptr) return -1;
    return ldap_msgfree(ld->ld_pool, chain) == LDAP_RES_SEARCH_ENTRY ? -1 : 0;
}
