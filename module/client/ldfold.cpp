// Results of requests: what a result does to the request it answers and to the referral tree
// the request belongs to. A result may set off referral requests, fold into the requests above
// it, or complete its tree, whose merged result is then rebuilt as one message for the
// top-level request. Requests whose connection ended are given their end the same way, so that
// every request of a tree ends, and with it the tree.
#include "../host/services.h"
#include "buffers.h"
#include "client.h"
#include "engine.h"
#include "ldtrans.h"
#include "pool.h"

namespace {

constexpr uint32_t kReferralFieldTag = 0xA3;

// Adds the URLs of a version-3 referral field (or of search references) to the referral text in
// `place`, one "Referral:" line each. 0, or -1 with ld_errno 90.
int32_t append_urls(LDAP *ld, char **place, char **urls) {
    for (char **url = urls; url != nullptr && *url != nullptr; ++url) {
        if (append_referral(ld, place, *url) != 0) return -1;
    }
    return 0;
}

// The referral text a result leaves to chase or to show: the server's error text, then the URLs
// of its referral field and those of the search references the request received, as referral
// lines. Null with ld_errno 90 when the pool has no memory (the server's text is then kept).
char *referral_text(LDAP *ld, LDAPPendingRequest *request, char *server_text, char **urls) {
    if (urls == nullptr && request->rq_references == nullptr) return server_text;
    char *lines = nullptr;
    if (append_urls(ld, &lines, urls) != 0 ||
        (request->rq_references != nullptr && qor::append_referral_lines(ld, &lines, request->rq_references) != 0)) {
        qor::pool_free(ld->ld_pool, lines);
        return nullptr;
    }
    const int32_t text_length = wzstlen(server_text);
    if (text_length == 0) {
        qor::pool_free(ld->ld_pool, server_text);
        return lines;
    }
    const int32_t lines_length = wzstlen(lines);
    auto *joined = static_cast<char *>(qor::pool_alloc(ld->ld_pool, text_length + 1 + lines_length + 1));
    if (joined != nullptr) {
        __builtin_memcpy(joined, server_text, static_cast<size_t>(text_length));
        joined[text_length] = '\n';
        __builtin_memcpy(joined + text_length + 1, lines, static_cast<size_t>(lines_length));
    }
    qor::pool_free(ld->ld_pool, lines);
    if (joined == nullptr) return nullptr;
    qor::pool_free(ld->ld_pool, server_text);
    return joined;
}

// Reads a result's code, matched DN and error text into the request, with the URLs of a
// version-3 referral field and of the search references the request received as referral lines
// of its text, and, with `chase`, chases the referrals. Answers the number of child requests
// sent, or -1 when chasing failed; *had_referrals tells whether referral lines were seen and
// kept: chased, or to be shown.
int32_t examine_result(LDAP *ld, LDAPPendingRequest *request, const BerElement *ber, bool chase,
                       int32_t *had_referrals) {
    *had_referrals = 0;
    BerElement reader = *ber;
    if (decodes_unchanged(reader.be_decode)) reader.be_decode = nullptr;  // the texts as received
    int32_t code = 0;
    char *matched = nullptr;
    char *text = nullptr;
    if (berscan(&reader, "{iaa", &code, &matched, &text) == -1) return 0;
    char **urls = nullptr;
    uint32_t length = 0;
    if (berpktg(&reader, &length) == static_cast<int32_t>(kReferralFieldTag)) berscan(&reader, "[v]", &urls);
    const bool refers = urls != nullptr || request->rq_references != nullptr;
    char *with_referrals = referral_text(ld, request, text, urls);
    ldap_value_free(ld->ld_pool, urls);
    qor::pool_free(ld->ld_pool, request->rq_matched_dn);
    qor::pool_free(ld->ld_pool, request->rq_error_text);
    request->rq_matched_dn = matched;
    request->rq_error_text = with_referrals != nullptr ? with_referrals : text;
    if (refers && with_referrals == nullptr) {
        request->rq_result_code = LDAP_NO_MEMORY;
        return -1;
    }

    int32_t children = 0;
    ld->ld_errno = LDAP_SUCCESS;
    if (chase && (code != LDAP_SUCCESS || refers)) {
        // While chasing waits for binds, a second result for this request must not be taken.
        request->rq_status = REQ_CHASING_REFERRALS;
        children = chase_referrals(ld, request, &request->rq_error_text, had_referrals);
        request->rq_status = REQ_IN_PROGRESS;
    } else if (refers) {
        *had_referrals = 1;  // not followed: shown
    }
    const bool referred = code == LDAP_PARTIAL_RESULTS || code == LDAP_REFERRAL;
    if (*had_referrals != 0 && request->rq_error_text != nullptr) {
        request->rq_result_code = ld->ld_errno != LDAP_SUCCESS ? ld->ld_errno : LDAP_PARTIAL_RESULTS;
    } else {
        request->rq_result_code = referred ? LDAP_SUCCESS : code;
    }
    return children;
}

// `request` has its result (or its end): gives back its use of the connection and folds its
// result into the requests above it, as far as their other children allow. Answers the
// top-level request when its whole tree is in, else null.
LDAPPendingRequest *fold_into_tree(LDAP *ld, LDAPPendingRequest *request) {
    qor::release_connection_use(ld, request);
    LDAPPendingRequest *reached = request;
    while (reached->rq_parent != nullptr) {
        LDAPPendingRequest *parent = reached->rq_parent;
        merge_error_info(ld, parent, reached);
        reached = parent;
        if (--reached->rq_open_children > 0) return nullptr;
        qor::release_connection_use(ld, reached);  // its whole referral tree is in
    }
    return reached->rq_open_children > 0 ? nullptr : reached;
}

// A top-level request whose tree is in but whose result cannot be had as a message: it ends
// with `code` for the next wait on it.
void end_unreported(LDAPPendingRequest *top, int32_t code) {
    top->rq_status = REQ_ENDED;
    top->rq_result_code = code;
}

// Queues the merged result of a complete tree whose last request ended with its connection, as
// the message of its top-level request, and releases the tree.
void queue_tree_result(LDAP *ld, LDAPPendingRequest *top) {
    BerElement *element = alloc_ber_with_options(ld);
    auto *message = element != nullptr ? qor::pool_new<LDAPMessage>(ld->ld_pool) : nullptr;
    if (message == nullptr || build_result_ber(ld, element, top) == -1) {
        if (element != nullptr) berfree(element, qor::kWithBuffer);
        qor::pool_free(ld->ld_pool, message);
        end_unreported(top, LDAP_NO_MEMORY);
        return;
    }
    message->lm_id = top->rq_msgid;
    message->lm_type = top->rq_result_type;
    message->lm_ber_elem = element;
    free_request(ld, top);
    qor::queue_message(ld, message);
}

// The first request that waits for an answer on `conn`.
LDAPPendingRequest *waiting_on(LDAP *ld, const LDAPConnection *conn) {
    for (LDAPPendingRequest *request = ld->ld_pending_requests; request != nullptr; request = request->rq_next) {
        if (request->rq_conn == conn && request->rq_status == REQ_IN_PROGRESS) return request;
    }
    return nullptr;
}

}  // namespace

namespace qor {

Settled settle_result(LDAP *ld, LDAPPendingRequest *request, BerElement *ber, int32_t *id, int32_t *type) {
    int32_t children = 0;
    int32_t had_referrals = 0;
    const bool reference_lost = request->rq_result_code == LDAP_NO_MEMORY;
    if (ld->ld_protocol_version > 1) {
        const bool chase = request->rq_parent != nullptr || (ld->ld_option_flags & OPT_CHASE_REFERRALS) != 0;
        children = examine_result(ld, request, ber, chase, &had_referrals);
    }
    if (reference_lost && children == 0) {
        had_referrals = 1;  // rebuilt with the failure, never handed out as a success
        request->rq_result_code = LDAP_NO_MEMORY;
    }
    if (children < 0) {
        // Chasing failed: the failure is the request's result. Children sent before it carry
        // on; without any, the request ends now rather than wait for ever.
        qor::drop_buffer(ld->ld_pool, ber);
        request->rq_result_code = ld->ld_errno;
        if (request->rq_open_children > 0) children = 1;
    }
    if (children > 0) {
        qor::drop_buffer(ld->ld_pool, ber);
        request->rq_status = REQ_CHASING_REFERRALS;  // keeps its use until its descendants are in
        return Settled::kNothingYet;
    }

    const bool as_received =
        children == 0 && request->rq_parent == nullptr && request->rq_open_children == 0 && had_referrals == 0;
    if (!as_received) qor::drop_buffer(ld->ld_pool, ber);
    LDAPPendingRequest *top = fold_into_tree(ld, request);
    if (top == nullptr) return Settled::kNothingYet;

    *id = top->rq_msgid;
    *type = top->rq_result_type;
    if (!as_received && build_result_ber(ld, ber, top) == -1) {
        qor::drop_buffer(ld->ld_pool, ber);
        end_unreported(top, LDAP_NO_MEMORY);
        return Settled::kNothingYet;
    }
    free_request(ld, top);
    return Settled::kDeliver;
}

int32_t disconnection_notice_code(const BerElement *ber) {
    constexpr char kNoticeOfDisconnection[] = "1.3.6.1.4.1.1466.20036";
    constexpr uint32_t kResponseNameTag = 0x8A;
    BerElement reader = *ber;
    uint32_t length = 0;
    int32_t code = 0;
    char *matched = nullptr;
    char *text = nullptr;
    if (berpktg(&reader, &length) != LDAP_RES_EXTENDED || berscan(&reader, "{iaa", &code, &matched, &text) == -1) {
        return -1;
    }
    qor::pool_free(reader.be_pool, matched);
    qor::pool_free(reader.be_pool, text);
    if (berpktg(&reader, &length) == static_cast<int32_t>(kReferralFieldTag)) berscan(&reader, "x");
    char *name = nullptr;
    if (berpktg(&reader, &length) != static_cast<int32_t>(kResponseNameTag) || berscan(&reader, "a", &name) == -1) {
        return -1;
    }
    const bool notice =
        wzsteqn(name, wzstlen(name), kNoticeOfDisconnection, literal_length(kNoticeOfDisconnection)) != 0;
    qor::pool_free(reader.be_pool, name);
    if (!notice) return -1;
    return code != LDAP_SUCCESS ? code : LDAP_SERVER_DOWN;  // the server goes away whatever it says
}

void keep_reference(LDAP *ld, LDAPPendingRequest *request, const BerElement *ber) {
    BerElement reader = *ber;
    char **urls = nullptr;
    if (berscan(&reader, "{v}", &urls) == -1 || append_urls(ld, &request->rq_references, urls) != 0) {
        // A reference that cannot be kept must not leave the search looking complete.
        request->rq_result_code = LDAP_NO_MEMORY;
    }
    ldap_value_free(ld->ld_pool, urls);
}

void end_connection(LDAP *ld, LDAPConnection *conn, int32_t code) {
    LDAPSocketBuffer *sb = conn->cn_sockbuf;
    if (sb->sb_event != nullptr) mark_select_clear(ld, sb);
    conn->cn_state = CONN_ENDED;
    use_connection(ld, conn);  // so that it outlives the requests that let it go
    for (LDAPPendingRequest *request = waiting_on(ld, conn); request != nullptr; request = waiting_on(ld, conn)) {
        request->rq_result_code = code;
        if (request->rq_parent == nullptr) {
            end_unreported(request, code);
            release_connection_use(ld, request);
            continue;
        }
        LDAPPendingRequest *top = fold_into_tree(ld, request);
        if (top != nullptr) queue_tree_result(ld, top);
    }
    free_connection(ld, conn, qor::kOneUse, qor::kNoUnbind);
}

bool take_ended_request(LDAP *ld, int32_t msgid) {
    for (LDAPPendingRequest *request = ld->ld_pending_requests; request != nullptr; request = request->rq_next) {
        if (request->rq_status != REQ_ENDED || (msgid != -1 && request->rq_msgid != msgid)) continue;
        const int32_t code = request->rq_result_code;
        ldap_msgdelete(ld, request->rq_msgid);  // entries of a search that cannot complete
        free_request(ld, request);
        ld->ld_errno = code;
        return true;
    }
    return false;
}

}  // namespace qor

int32_t build_result_ber(LDAP *ld, BerElement *ber, LDAPPendingRequest *request) {
    berinit(ber, 0);
    set_ber_options(ld, ber);
    const char *matched = request->rq_matched_dn != nullptr ? request->rq_matched_dn : "";
    const char *text = request->rq_error_text != nullptr ? request->rq_error_text : "";
    if (berprnt(ber, "{it{ess}}", request->rq_msgid, request->rq_result_type, request->rq_result_code, matched, text) ==
        -1) {
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
        if (child->rq_error_text != nullptr)
            qor::append_referral_lines(ld, &parent->rq_error_text, child->rq_error_text);
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
