// Result reception: the reader waits on every connection of the session, reads one message at a
// time, matches it to its pending request, lets referrals be chased, folds the results of
// referral requests into their top-level request, and files what nobody waits for yet in
// ld_queued_responses (one chain per message id).
#include "../host/services.h"
#include "client.h"
#include "engine.h"
#include "pool.h"

namespace {

constexpr uint32_t kTagSequence = 0x30;

// A protocol operation is an application-class tag of one octet. Any other tag cannot be
// decoded as an answer, and handing it out would read as a time-out (0) or a failure (< 0).
bool is_protocol_operation(int32_t type) {
    return type >= 0x40 && type <= 0x7F;
}

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

// Queued chains. A chain of several messages keeps its last message in the lm_list_next of its
// second message (inside a chain that field has no other use), so that a long search grows at
// the same cost per message as a short one. The link is removed whenever messages leave the
// queue: a message handed to a caller always has lm_list_next null.
LDAPMessage *last_of_chain(LDAPMessage *head) {
    LDAPMessage *second = head->lm_chain_next;
    return second != nullptr ? second->lm_list_next : head;
}

void append_to_chain(LDAPMessage *head, LDAPMessage *message) {
    last_of_chain(head)->lm_chain_next = message;
    head->lm_chain_next->lm_list_next = message;
}

void clear_last_link(LDAPMessage *head) {
    if (head->lm_chain_next != nullptr) head->lm_chain_next->lm_list_next = nullptr;
}

// Releases the message buffer a reading element holds.
void drop_buffer(LDAP *ld, BerElement *ber) {
    qor::pool_free_buffer(ld->ld_pool, ber->be_start);
    ber->be_start = ber->be_pos = ber->be_end = nullptr;
}

int32_t hand_out(LDAP *ld, LDAPMessage *message, LDAPMessage **result) {
    message->lm_list_next = nullptr;
    *result = message;
    ld->ld_errno = LDAP_SUCCESS;
    return message->lm_type;
}

// The first connection whose socket buffer already holds unread bytes.
LDAPConnection *connection_with_buffered_bytes(LDAP *ld) {
    for (LDAPConnection *conn = ld->ld_connections; conn != nullptr; conn = conn->cn_next) {
        const BerElement &input = conn->cn_sockbuf->sb_input;
        if (input.be_pos != nullptr && input.be_pos < input.be_end) return conn;
    }
    return nullptr;
}

// True when some connection is registered for read readiness: otherwise no answer can come.
bool any_connection_waited_on(const LDAP *ld) {
    for (const LDAPConnection *conn = ld->ld_connections; conn != nullptr; conn = conn->cn_next) {
        if (conn->cn_sockbuf->sb_event != nullptr) return true;
    }
    return false;
}

// The first connection the last wait found readable.
LDAPConnection *readable_connection(LDAP *ld) {
    for (LDAPConnection *conn = ld->ld_connections; conn != nullptr; conn = conn->cn_next) {
        if (conn->cn_state == CONN_CONNECTED && is_read_ready(ld, conn->cn_sockbuf) != 0) return conn;
    }
    return nullptr;
}

// Reads a result's code, matched DN and error text into the request and chases the referrals
// its text carries. Answers the number of child requests sent, or -1 when chasing failed;
// *had_referrals tells whether referral lines were seen.
int32_t examine_result(LDAP *ld, LDAPPendingRequest *request, const BerElement *ber, int32_t *had_referrals) {
    *had_referrals = 0;
    BerElement reader = *ber;
    int32_t code = 0;
    char *matched = nullptr;
    char *text = nullptr;
    if (berscan(&reader, "{iaa}", &code, &matched, &text) == -1) return 0;
    qor::pool_free(ld->ld_pool, request->rq_matched_dn);
    qor::pool_free(ld->ld_pool, request->rq_error_text);
    request->rq_matched_dn = matched;
    request->rq_error_text = text;

    int32_t children = 0;
    if (code != LDAP_SUCCESS) {
        // While chasing waits for binds, a second result for this request must not be taken.
        request->rq_status = REQ_CHASING_REFERRALS;
        children = chase_referrals(ld, request, &request->rq_error_text, had_referrals);
        request->rq_status = REQ_IN_PROGRESS;
    }
    if (*had_referrals != 0 && request->rq_error_text != nullptr) {
        request->rq_result_code = ld->ld_errno != LDAP_SUCCESS ? ld->ld_errno : LDAP_PARTIAL_RESULTS;
    } else {
        request->rq_result_code = code == LDAP_PARTIAL_RESULTS ? LDAP_SUCCESS : code;
    }
    return children;
}

// The result for `request` has arrived in `ber`. Chases its referrals, or folds it into the
// requests above it. Answers 1 when `ber` now holds a message to deliver (its id and type in
// *id and *type), -2 when there is nothing to deliver yet, -1 on failure.
int32_t take_result(LDAP *ld, LDAPPendingRequest *request, BerElement *ber, int32_t *id, int32_t *type) {
    int32_t children = 0;
    int32_t had_referrals = 0;
    if (ld->ld_protocol_version > 1 &&
        (request->rq_parent != nullptr || (ld->ld_option_flags & OPT_CHASE_REFERRALS) != 0)) {
        children = examine_result(ld, request, ber, &had_referrals);
    }
    if (children != 0) {
        drop_buffer(ld, ber);
        if (children < 0) return -1;
        request->rq_status = REQ_CHASING_REFERRALS;   // keeps its use until its descendants are in
        return -2;
    }

    bool as_received = request->rq_parent == nullptr && request->rq_open_children == 0 && had_referrals == 0;
    if (!as_received) drop_buffer(ld, ber);
    qor::release_connection_use(ld, request);

    LDAPPendingRequest *reached = request;
    while (reached->rq_parent != nullptr) {
        LDAPPendingRequest *parent = reached->rq_parent;
        merge_error_info(ld, parent, reached);
        reached = parent;
        if (--reached->rq_open_children > 0) return -2;
        qor::release_connection_use(ld, reached);   // its whole referral tree is in
    }
    if (reached->rq_open_children > 0) return -2;

    *id = reached->rq_msgid;
    *type = reached->rq_result_type;
    int32_t answer = 1;
    if (!as_received && build_result_ber(ld, ber, reached) == -1) {
        drop_buffer(ld, ber);
        ld->ld_errno = LDAP_NO_MEMORY;
        answer = -1;
    }
    free_request(ld, reached);
    return answer;
}

// Hands the new message out when it is what the caller waits for, else files it with the
// queued chain of its id. A search's final result with all = 1 hands out the whole chain.
int32_t deliver(LDAP *ld, int32_t msgid, int32_t all, LDAPMessage *message, LDAPMessage **result) {
    bool wanted = msgid == -1 || message->lm_id == msgid;
    bool search = is_search_message(message->lm_type);
    if (wanted && (all == 0 || !search)) return hand_out(ld, message, result);
    bool completes = wanted && message->lm_type == LDAP_RES_SEARCH_RESULT;

    LDAPMessage **place = &ld->ld_queued_responses;
    while (*place != nullptr && (*place)->lm_id != message->lm_id) place = &(*place)->lm_list_next;
    LDAPMessage *chain = *place;
    if (chain == nullptr) {
        if (completes) return hand_out(ld, message, result);
        message->lm_list_next = ld->ld_queued_responses;
        ld->ld_queued_responses = message;
        return -2;
    }
    append_to_chain(chain, message);
    if (!completes) return -2;
    *place = chain->lm_list_next;
    clear_last_link(chain);
    hand_out(ld, chain, result);
    return LDAP_RES_SEARCH_RESULT;
}

// Hands out a queued chain the caller waits for (or its first message, with all = 0), after
// discarding the chains of abandoned ids. Answers the type handed out, or -2 when nothing
// queued is wanted yet.
int32_t take_queued_response(LDAP *ld, int32_t msgid, int32_t all, LDAPMessage **result) {
    LDAPMessage **place = &ld->ld_queued_responses;
    while (*place != nullptr) {
        LDAPMessage *chain = *place;
        if (ldap_abandoned(ld, chain->lm_id) != 0) {
            *place = chain->lm_list_next;
            ldap_mark_abandoned(ld, chain->lm_id);
            ldap_msgfree(ld->ld_pool, chain);
            continue;
        }
        bool wanted = msgid == -1 || chain->lm_id == msgid;
        if (wanted && (all == 0 || !is_search_message(chain->lm_type) || holds_search_result(chain))) {
            if (all == 0 && chain->lm_chain_next != nullptr) {
                // The rest of the chain takes the first message's place in the queue.
                LDAPMessage *rest = chain->lm_chain_next;
                LDAPMessage *last = rest->lm_list_next;
                rest->lm_list_next = chain->lm_list_next;
                if (rest->lm_chain_next != nullptr) rest->lm_chain_next->lm_list_next = last;
                *place = rest;
                chain->lm_chain_next = nullptr;
                return hand_out(ld, chain, result);
            }
            *place = chain->lm_list_next;
            clear_last_link(chain);
            hand_out(ld, chain, result);
            // A whole search is answered as its final result.
            return all != 0 && is_search_message(chain->lm_type) ? LDAP_RES_SEARCH_RESULT : chain->lm_type;
        }
        // A search still missing its final result: later chains may be complete already.
        place = &chain->lm_list_next;
    }
    return -2;
}

}  // namespace

int32_t ldap_result(LDAP *ld, int32_t msgid, int32_t all, int32_t timeout_ms, LDAPMessage **result) {
    if (result == nullptr) {
        ld->ld_errno = LDAP_PARAM_ERROR;
        return -1;
    }
    if (timeout_ms == 0) timeout_ms = ld->ld_timelimit;
    *result = nullptr;
    int32_t queued = take_queued_response(ld, msgid, all, result);
    return queued != -2 ? queued : wait4msg(ld, msgid, all, timeout_ms, result);
}

int32_t wait4msg(LDAP *ld, int32_t msgid, int32_t all, int32_t timeout_ms, LDAPMessage **result) {
    bool limited = timeout_ms > 0;
    int32_t remaining = limited ? timeout_ms : -1;
    double start = limited ? wzdttme() : 0;

    int32_t answer = -2;
    while (answer == -2) {
        // One message per round: a read may release connections, so the list is walked afresh.
        LDAPConnection *conn = connection_with_buffered_bytes(ld);
        if (conn == nullptr) {
            if (!any_connection_waited_on(ld)) {
                ld->ld_errno = LDAP_SERVER_DOWN;
                return -1;
            }
            int32_t ready = do_ldap_select(ld, remaining);
            if (ready == 0) {
                ld->ld_errno = LDAP_TIMEOUT;
                return 0;
            }
            if (ready < 0 && (ld->ld_option_flags & OPT_RESTART_WAIT) == 0) {
                ld->ld_errno = LDAP_SERVER_DOWN;
                return -1;
            }
            if (ready > 0) conn = readable_connection(ld);
        }
        if (conn != nullptr) {
            int32_t ids_before = ld->ld_last_msgid;
            answer = read1msg(ld, msgid, all, conn->cn_sockbuf, conn, result);
            // Requests went out while the message was handled: a referral was chased, and
            // binding to a referred server waited for answers meanwhile. What that wait queued
            // may be what this one is for.
            if (answer == -2 && ld->ld_last_msgid != ids_before) {
                answer = take_queued_response(ld, msgid, all, result);
            }
        }

        if (answer == -2 && limited) {
            // Whole milliseconds are taken from the limit; the start moves on by just those, so
            // the fractions of many short rounds (messages for other requests arriving back to
            // back) add up instead of being dropped, and the limit always runs out.
            const auto elapsed = static_cast<int32_t>(wzdttme() - start);
            remaining -= elapsed;
            if (remaining <= 0) {
                ld->ld_errno = LDAP_TIMEOUT;
                return 0;
            }
            start += elapsed;
        }
    }
    return answer;
}

int32_t read1msg(LDAP *ld, int32_t msgid, int32_t all, LDAPSocketBuffer *sb, LDAPConnection *conn,
                 LDAPMessage **result) {
    BerElement ber;
    berinit(&ber, 0);
    set_ber_options(ld, &ber);
    uint32_t length = 0;
    int32_t tag = bergnxt(sb, &length, &ber);
    if (tag != static_cast<int32_t>(kTagSequence)) {
        if (tag == -1) {
            // The stream is broken or ended: later waits must not keep finding it readable.
            mark_select_clear(ld, sb);
            ld->ld_errno = LDAP_SERVER_DOWN;
        } else {
            ld->ld_errno = LDAP_LOCAL_ERROR;
        }
        drop_buffer(ld, &ber);
        return -1;
    }
    int32_t id = 0;
    if (bergint(&ber, &id) == -1) {
        ld->ld_errno = LDAP_DECODING_ERROR;
        drop_buffer(ld, &ber);
        return -1;
    }

    // Only a request that still waits on this connection takes the message: unknown and
    // abandoned ids (and unsolicited notices, id 0) are dropped, and so are messages for a
    // request whose result has already been read.
    LDAPPendingRequest *request = ldap_abandoned(ld, id) != 0 ? nullptr : find_request_by_msgid(ld, id);
    if (request == nullptr || request->rq_conn == nullptr || (conn != nullptr && request->rq_conn != conn) ||
        request->rq_status != REQ_IN_PROGRESS) {
        drop_buffer(ld, &ber);
        return -2;
    }
    uint32_t op_length = 0;
    int32_t type = berpktg(&ber, &op_length);
    if (type == -1 || !is_protocol_operation(type)) {
        ld->ld_errno = LDAP_DECODING_ERROR;
        drop_buffer(ld, &ber);
        return -1;
    }
    // Search references and intermediate responses are not results: the request goes on.
    if (type == LDAP_RES_SEARCH_REFERENCE || type == LDAP_RES_INTERMEDIATE) {
        drop_buffer(ld, &ber);
        return -2;
    }
    request->rq_result_type = type;
    int32_t message_id = request->rq_origin_msgid;
    if (type != LDAP_RES_SEARCH_ENTRY) {
        int32_t taken = take_result(ld, request, &ber, &message_id, &type);
        if (taken != 1) return taken;
    }

    auto *message = qor::pool_new<LDAPMessage>(ld->ld_pool);
    BerElement *element = message != nullptr ? berdup(&ber) : nullptr;
    if (element == nullptr) {
        qor::pool_free(ld->ld_pool, message);
        drop_buffer(ld, &ber);
        ld->ld_errno = LDAP_NO_MEMORY;
        return -1;
    }
    message->lm_id = message_id;
    message->lm_type = type;
    message->lm_ber_elem = element;
    if (ld->ld_result_cache != nullptr) add_result_to_cache(ld, message);
    return deliver(ld, msgid, all, message, result);
}

int32_t build_result_ber(LDAP *ld, BerElement *ber, LDAPPendingRequest *request) {
    berinit(ber, 0);
    set_ber_options(ld, ber);
    const char *matched = request->rq_matched_dn != nullptr ? request->rq_matched_dn : "";
    const char *text = request->rq_error_text != nullptr ? request->rq_error_text : "";
    if (berprnt(ber, "{it{ess}}", request->rq_msgid, request->rq_result_type, request->rq_result_code, matched,
                text) == -1) {
        return -1;
    }
    berrest(ber, 1);
    uint32_t length = 0;
    int32_t id = 0;
    if (bersktg(ber, &length) == -1 || bergint(ber, &id) == -1) return -1;
    return berpktg(ber, &length);
}

void merge_error_info(LDAP *ld, LDAPPendingRequest *parent, LDAPPendingRequest *child) {
    if (child->rq_result_code == LDAP_PARTIAL_RESULTS) {
        parent->rq_result_code = LDAP_PARTIAL_RESULTS;
        if (child->rq_error_text != nullptr) qor::append_referral_lines(ld, &parent->rq_error_text, child->rq_error_text);
        return;
    }
    if (child->rq_result_code == LDAP_SUCCESS || parent->rq_result_code != LDAP_SUCCESS) return;
    parent->rq_result_code = child->rq_result_code;
    qor::pool_free(ld->ld_pool, parent->rq_error_text);
    parent->rq_error_text = child->rq_error_text;
    child->rq_error_text = nullptr;
    if ((child->rq_result_code & 0xF0) == LDAP_NO_SUCH_OBJECT) {
        qor::pool_free(ld->ld_pool, parent->rq_matched_dn);
        parent->rq_matched_dn = child->rq_matched_dn;
        child->rq_matched_dn = nullptr;
    }
}

int32_t ldap_msgfree(HostPool *pool, LDAPMessage *chain) {
    int32_t type = 0;
    while (chain != nullptr) {
        LDAPMessage *next = chain->lm_chain_next;
        type = chain->lm_type;
        berfree(chain->lm_ber_elem, 1);
        qor::pool_free(pool, chain);
        chain = next;
    }
    return type;
}

int32_t ldap_msgdelete(LDAP *ld, int32_t msgid) {
    LDAPMessage **place = &ld->ld_queued_responses;
    while (*place != nullptr && (*place)->lm_id != msgid) place = &(*place)->lm_list_next;
    LDAPMessage *chain = *place;
    if (chain == nullptr) return -1;
    *place = chain->lm_list_next;
    chain->lm_list_next = nullptr;
    return ldap_msgfree(ld->ld_pool, chain) == LDAP_RES_SEARCH_ENTRY ? -1 : 0;
}
