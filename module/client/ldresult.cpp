// Result reception: the reader waits on every connection of the session, reads one message at a
// time, matches it to its pending request, lets the request's tree settle the result (referrals,
// folding, ldfold) and hands the message out or files it in ld_queued_responses (ldqueue). The
// session's time limit bounds the whole wait, also a message that arrives in pieces.
#include "../host/services.h"
#include "buffers.h"
#include "client.h"
#include "engine.h"
#include "pool.h"

namespace {

using qor::Reception;

constexpr uint32_t kTagSequence = 0x30;
// The message id of unsolicited notices, which no request has.
constexpr int32_t kUnsolicitedId = 0;
// The wait an idle connection's check allows the rest of a message that has begun to arrive,
// and the most messages it reads (more are read by the next wait).
constexpr int32_t kIdleReadWaitMs = 5;
constexpr int32_t kMostIdleMessages = 8;

// A protocol operation is an application-class tag of one octet. Any other tag cannot be
// decoded as an answer, and handing it out would read as a time-out (0) or a failure (< 0).
bool is_protocol_operation(int32_t type) {
    return type >= 0x40 && type <= 0x7F;
}

bool is_search_message(int32_t type) {
    return type == LDAP_RES_SEARCH_ENTRY || type == LDAP_RES_SEARCH_RESULT;
}

Reception hand_out(LDAP *ld, LDAPMessage *message, LDAPMessage **result) {
    message->lm_list_next = nullptr;
    *result = message;
    ld->ld_errno = LDAP_SUCCESS;
    return Reception::kHandedOut;
}

// The answer of ldap_result, wait4msg and read1msg for an outcome.
int32_t to_answer(Reception outcome, LDAPMessage *const *result, int32_t all) {
    switch (outcome) {
    case Reception::kHandedOut: return qor::answer_type(*result, all);
    case Reception::kNothingYet: return -2;
    case Reception::kTimedOut: return 0;
    case Reception::kEnded:
    case Reception::kFailed: break;
    }
    return -1;
}

bool is_read(const LDAPConnection *conn) {
    return conn->cn_state == CONN_CONNECTED || conn->cn_state == CONN_BINDING;
}

// The first connection whose socket buffer already holds unread bytes.
LDAPConnection *connection_with_buffered_bytes(LDAP *ld) {
    for (LDAPConnection *conn = ld->ld_connections; conn != nullptr; conn = conn->cn_next) {
        if (is_read(conn) && qor::input_pending(conn->cn_sockbuf)) return conn;
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
        if (is_read(conn) && is_read_ready(ld, conn->cn_sockbuf) != 0) return conn;
    }
    return nullptr;
}

// Hands the new message out when it is what the caller waits for, else files it with the
// queued chain of its id. A search's final result with all = 1 hands out the whole chain.
Reception deliver(LDAP *ld, int32_t msgid, int32_t all, LDAPMessage *message, LDAPMessage **result) {
    const bool wanted = msgid == -1 || message->lm_id == msgid;
    if (wanted && (all == 0 || !is_search_message(message->lm_type))) return hand_out(ld, message, result);
    LDAPMessage *chain = qor::queue_message(ld, message);
    if (!wanted || message->lm_type != LDAP_RES_SEARCH_RESULT) return Reception::kNothingYet;
    return hand_out(ld, qor::take_queued_chain(ld, chain->lm_id), result);
}

// Reads one message from `conn` within `wait_ms` (-1: the host's read limit alone) and gives it
// to its request. A stream that ended or broke ends the connection with every request on it.
Reception read_message(LDAP *ld, int32_t msgid, int32_t all, LDAPConnection *conn, int32_t wait_ms,
                       LDAPMessage **result) {
    LDAPSocketBuffer *sb = conn->cn_sockbuf;
    BerElement ber;
    berinit(&ber, 0);
    set_ber_options(ld, &ber);
    sb->sb_read_wait_ms = wait_ms > 0 ? wait_ms : 0;
    uint32_t length = 0;
    const int32_t tag = bergnxt(sb, &length, &ber);
    switch (tag) {
    case static_cast<int32_t>(kTagSequence): break;
    case BER_READ_WAIT_PASSED:
        ld->ld_errno = LDAP_TIMEOUT;  // part of a message is in; the rest is read next time
        return Reception::kTimedOut;
    case BER_READ_NO_MEMORY:
        ld->ld_errno = LDAP_NO_MEMORY;  // the message stays in the stream
        return Reception::kFailed;
    case BER_READ_FAILED:
        qor::end_connection(ld, conn, LDAP_SERVER_DOWN);
        ld->ld_errno = LDAP_SERVER_DOWN;
        return Reception::kEnded;
    default:
        qor::drop_buffer(ld->ld_pool, &ber);
        ld->ld_errno = LDAP_LOCAL_ERROR;
        return Reception::kFailed;
    }
    int32_t id = 0;
    if (bergint(&ber, &id) == -1) {
        ld->ld_errno = LDAP_DECODING_ERROR;
        qor::drop_buffer(ld->ld_pool, &ber);
        return Reception::kFailed;
    }

    // An unsolicited notice (id 0): a notice of disconnection ends the connection with its code;
    // any other is dropped.
    if (id == kUnsolicitedId) {
        const int32_t code = qor::disconnection_notice_code(&ber);
        qor::drop_buffer(ld->ld_pool, &ber);
        if (code < 0) return Reception::kNothingYet;
        qor::end_connection(ld, conn, code);
        ld->ld_errno = code;
        return Reception::kEnded;
    }
    // Only a request that still waits on this connection takes the message: unknown and
    // abandoned ids are dropped, and so are messages for a request whose result has already been
    // read. The final result of an abandoned request is its last message, so its id is forgotten
    // with it.
    if (ldap_abandoned(ld, id) != 0) {
        uint32_t op_length = 0;
        const int32_t type = berpktg(&ber, &op_length);
        if (type != LDAP_RES_SEARCH_ENTRY && type != LDAP_RES_SEARCH_REFERENCE && type != LDAP_RES_INTERMEDIATE) {
            ldap_mark_abandoned(ld, id);
        }
        qor::drop_buffer(ld->ld_pool, &ber);
        return Reception::kNothingYet;
    }
    LDAPPendingRequest *request = find_request_by_msgid(ld, id);
    if (request == nullptr || request->rq_conn != conn || request->rq_status != REQ_IN_PROGRESS) {
        qor::drop_buffer(ld->ld_pool, &ber);
        return Reception::kNothingYet;
    }
    uint32_t op_length = 0;
    int32_t type = berpktg(&ber, &op_length);
    if (type == -1 || !is_protocol_operation(type)) {
        ld->ld_errno = LDAP_DECODING_ERROR;
        qor::drop_buffer(ld->ld_pool, &ber);
        return Reception::kFailed;
    }
    // Search references and intermediate responses are not results: the request goes on, and
    // the references' URLs wait for its result.
    if (type == LDAP_RES_SEARCH_REFERENCE || type == LDAP_RES_INTERMEDIATE) {
        if (type == LDAP_RES_SEARCH_REFERENCE) qor::keep_reference(ld, request, &ber);
        qor::drop_buffer(ld->ld_pool, &ber);
        return Reception::kNothingYet;
    }
    request->rq_result_type = type;
    int32_t message_id = request->rq_origin_msgid;
    if (type != LDAP_RES_SEARCH_ENTRY &&
        qor::settle_result(ld, request, &ber, &message_id, &type) != qor::Settled::kDeliver) {
        return Reception::kNothingYet;
    }

    auto *message = qor::pool_new<LDAPMessage>(ld->ld_pool);
    BerElement *element = message != nullptr ? berdup(&ber) : nullptr;
    if (element == nullptr) {
        qor::pool_free(ld->ld_pool, message);
        qor::drop_buffer(ld->ld_pool, &ber);
        ld->ld_errno = LDAP_NO_MEMORY;
        return Reception::kFailed;
    }
    message->lm_id = message_id;
    message->lm_type = type;
    message->lm_ber_elem = element;
    if (ld->ld_result_cache != nullptr) add_result_to_cache(ld, message);
    return deliver(ld, msgid, all, message, result);
}

// What is ready for the caller without reading: a queued message or chain, or the end of a
// request whose connection ended.
Reception take_ready(LDAP *ld, int32_t msgid, int32_t all, LDAPMessage **result) {
    if (qor::take_queued_response(ld, msgid, all, result) == Reception::kHandedOut) return Reception::kHandedOut;
    return qor::take_ended_request(ld, msgid) ? Reception::kFailed : Reception::kNothingYet;
}

// The time left of a wait: whole milliseconds are taken from the limit and the start moves on
// by just those, so the fractions of many short rounds (messages for other requests arriving
// back to back) add up instead of being dropped, and the limit always runs out.
class WaitClock {
public:
    explicit WaitClock(int32_t timeout_ms)
        : limited_(timeout_ms > 0), remaining_(limited_ ? timeout_ms : -1), start_(limited_ ? wzdttme() : 0) {}

    // Milliseconds left, -1 without a limit.
    int32_t remaining() const { return remaining_; }

    // Takes the time since the last reading from what is left; false once nothing is left.
    bool advance() {
        if (!limited_) return true;
        const auto elapsed = static_cast<int32_t>(wzdttme() - start_);
        remaining_ -= elapsed;
        start_ += elapsed;
        return remaining_ > 0;
    }

private:
    bool limited_;
    int32_t remaining_;
    double start_;
};

// One round of waiting: reads the next message from a connection that has bytes or becomes
// readable within the time left.
Reception read_round(LDAP *ld, int32_t msgid, int32_t all, const WaitClock &clock, LDAPMessage **result) {
    // One message per round: a read may release connections, so the list is walked afresh.
    LDAPConnection *conn = connection_with_buffered_bytes(ld);
    if (conn == nullptr) {
        if (!any_connection_waited_on(ld)) {
            ld->ld_errno = LDAP_SERVER_DOWN;
            return Reception::kFailed;
        }
        int32_t ready = do_ldap_select(ld, clock.remaining());
        if (ready == 0) {
            ld->ld_errno = LDAP_TIMEOUT;
            return Reception::kTimedOut;
        }
        if (ready < 0) {
            if ((ld->ld_option_flags & OPT_RESTART_WAIT) != 0) return Reception::kNothingYet;
            // A socket that failed (a reset) counts as readable from the next wait on: reading it
            // then ends its connection with the requests on it, which are not left pending.
            ready = do_ldap_select(ld, 0);
            if (ready != 1) {
                ld->ld_errno = LDAP_SERVER_DOWN;
                return Reception::kFailed;
            }
        }
        conn = readable_connection(ld);
        if (conn == nullptr) return Reception::kNothingYet;
    }
    const int32_t ids_before = ld->ld_last_msgid;
    Reception outcome = read_message(ld, msgid, all, conn, clock.remaining(), result);
    // A connection that ended, or requests that went out while the message was handled (a
    // referral was chased, and binding to a referred server waited for answers meanwhile), may
    // have made ready what this wait is for.
    if (outcome == Reception::kEnded || (outcome == Reception::kNothingYet && ld->ld_last_msgid != ids_before)) {
        outcome = take_ready(ld, msgid, all, result);
    }
    return outcome;
}

}  // namespace

namespace qor {

bool idle_connection_usable(LDAP *ld, LDAPConnection *conn) {
    LDAPSocketBuffer *sb = conn->cn_sockbuf;
    const int32_t errno_before = ld->ld_errno;
    for (int32_t read = 0; read < kMostIdleMessages && conn->cn_state == CONN_CONNECTED; ++read) {
        if (!input_pending(sb)) {
            // A reset is posted as a failed wait: the read below then meets it.
            const int32_t ready = do_ldap_select(ld, 0);
            if (ready == 0 || (ready == 1 && is_read_ready(ld, sb) == 0)) break;
        }
        LDAPMessage *none = nullptr;  // no request waits on the connection: nothing is handed out
        if (read_message(ld, kUnsolicitedId, kOneMessage, conn, kIdleReadWaitMs, &none) != Reception::kNothingYet) {
            break;
        }
    }
    ld->ld_errno = errno_before;
    return conn->cn_state == CONN_CONNECTED;
}

int32_t await_search_entries(LDAP *ld, int32_t msgid, int32_t wait_ms, EntryReceiver receiver, LDAPMessage **final) {
    *final = nullptr;
    if (msgid == -1) return ld->ld_errno;
    WaitClock clock(wait_ms != 0 ? wait_ms : ld->ld_timelimit);
    for (;;) {
        // What is queued goes first: entries filed while another wait read (a referred server's
        // bind) or answered from the cache come before those read after them.
        LDAPMessage *message = nullptr;
        Reception outcome = take_ready(ld, msgid, kOneMessage, &message);
        if (outcome == Reception::kNothingYet) outcome = read_round(ld, msgid, kOneMessage, clock, &message);
        switch (outcome) {
        case Reception::kHandedOut:
            if (message->lm_type != LDAP_RES_SEARCH_ENTRY) {
                *final = message;
                return ldap_result2error(ld, message, 0);
            }
            receiver.take(receiver.context, ld, message);
            break;
        case Reception::kNothingYet: break;
        case Reception::kTimedOut: return LDAP_PARAM_ERROR;  // as ldap_result2error of no result
        case Reception::kEnded:
        case Reception::kFailed: return ld->ld_errno;
        }
        if (!clock.advance()) {
            ld->ld_errno = LDAP_TIMEOUT;
            return LDAP_PARAM_ERROR;
        }
    }
}

}  // namespace qor

int32_t ldap_result(LDAP *ld, int32_t msgid, int32_t all, int32_t timeout_ms, LDAPMessage **result) {
    if (result == nullptr) {
        ld->ld_errno = LDAP_PARAM_ERROR;
        return -1;
    }
    if (timeout_ms == 0) timeout_ms = ld->ld_timelimit;
    *result = nullptr;
    const Reception ready = take_ready(ld, msgid, all, result);
    if (ready != Reception::kNothingYet) return to_answer(ready, result, all);
    return wait4msg(ld, msgid, all, timeout_ms, result);
}

int32_t wait4msg(LDAP *ld, int32_t msgid, int32_t all, int32_t timeout_ms, LDAPMessage **result) {
    WaitClock clock(timeout_ms);
    for (;;) {
        const Reception outcome = read_round(ld, msgid, all, clock, result);
        if (outcome != Reception::kNothingYet) return to_answer(outcome, result, all);
        if (!clock.advance()) {
            ld->ld_errno = LDAP_TIMEOUT;
            return 0;
        }
    }
}

// Reads within the host's read limit alone. Without `conn` the connection of `sb` is read.
int32_t read1msg(LDAP *ld, int32_t msgid, int32_t all, LDAPSocketBuffer *sb, LDAPConnection *conn,
                 LDAPMessage **result) {
    for (LDAPConnection *c = ld->ld_connections; conn == nullptr && c != nullptr; c = c->cn_next) {
        if (c->cn_sockbuf == sb) conn = c;
    }
    if (conn == nullptr || conn->cn_sockbuf != sb || result == nullptr) {
        ld->ld_errno = LDAP_PARAM_ERROR;
        return -1;
    }
    return to_answer(read_message(ld, msgid, all, conn, -1, result), result, all);
}
