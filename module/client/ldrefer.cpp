// Referral chasing. A server that cannot answer a request itself lists other servers in its
// error text, after the marker "Referral:\n", one LDAP URL per line
// (ldap[s]://host[:port][/dn[?attributes?scope?filter]]; an ldaps server is reached over TLS).
// Each URL gets the top-level request re-sent as a child request, with the URL's DN when it
// names one; the lines that could not be followed are kept as the request's referral text.
//
// Chasing runs in two passes. The first prepares every line: it re-encodes the request and
// finds, or opens and binds, the connection to the referred server. Binding waits for the
// server, and while it waits the reader handles whatever else arrives; since no child has been
// sent yet, nothing that arrives can belong to this request's referral tree. The second pass
// sends the prepared children without waiting. Message ids, and the order of requests on each
// connection, are those of chasing line by line.
#include "../host/services.h"
#include "buffers.h"
#include "client.h"
#include "engine.h"
#include "ldops.h"
#include "ldurl.h"
#include "pool.h"

namespace {

constexpr char kMarker[] = "Referral:\n";
constexpr int32_t kMarkerLength = literal_length(kMarker);
constexpr char kScheme[] = "ldap://";
constexpr int32_t kSchemeLength = literal_length(kScheme);
constexpr char kTlsScheme[] = "ldaps://";
constexpr int32_t kTlsSchemeLength = literal_length(kTlsScheme);
// The most referral requests one top-level request sends, over all hops: a server that lists
// many URLs per level must not make one request fan out without bound.
constexpr int32_t kMostReferralRequests = 64;
constexpr int32_t kConstructed = 0x20;
constexpr int32_t kVersion3 = 3;

// Index of the first referral marker in `text`, or -1.
int32_t find_marker(const char *text, int32_t length) {
    for (int32_t at = 0; length - at >= kMarkerLength; ++at) {
        if ((text[at] == 'R' || text[at] == 'r') && wzsteqn(text + at, kMarkerLength, kMarker, kMarkerLength) != 0) {
            return at;
        }
    }
    return -1;
}

enum class LineState { kUnfollowed, kPrepared, kSent };

// One line of the referral text as the passes see it.
struct ReferralLine {
    char *text;  // the line as the server sent it
    LineState state;
    bool is_url;
    int32_t msgid;         // URL lines: the child's id
    BerElement *request;   // prepared: the re-encoded request
    LDAPConnection *conn;  // prepared: holds one use until the child is sent
    int32_t error;         // URL lines: the ld_errno that following it left behind
};

// A server entry for "host", "host:port" or, for a server reached over TLS, the URL's
// "ldaps://host[:port]" itself (its port, or 636); null with ld_errno 90.
LDAPServerEntry *server_entry_for(LDAP *ld, const char *host_part) {
    auto *entry = qor::pool_new<LDAPServerEntry>(ld->ld_pool);
    char *host = entry != nullptr ? qor::pool_copy_text(ld->ld_pool, host_part) : nullptr;
    if (host == nullptr) {
        qor::pool_free(ld->ld_pool, entry);
        ld->ld_errno = LDAP_NO_MEMORY;
        return nullptr;
    }
    entry->sv_host = host;
    entry->sv_port = LDAP_DEFAULT_PORT;
    int32_t length = wzstlen(host);
    if (qor::has_url_scheme(host, length)) {
        qor::LdapUrl url;
        bool parsed = qor::parse_ldap_url(host, length, &url) == qor::UrlParse::kParsed;
        entry->sv_port = parsed ? qor::url_port(url, qor::kLdapsPort) : qor::kLdapsPort;
        return entry;
    }
    int32_t colon = wzstpos(host, length, ':');
    if (colon >= 0) {
        host[colon] = '\0';
        entry->sv_port = 0;
        zatoi(host + colon + 1, length - colon - 1, 0, nullptr, &entry->sv_port);
    }
    return entry;
}

// Where a referral URL sends its request: the server and, when the URL names them, the base DN,
// and for searches of a version-3 session the scope and the filter (all pool texts, decoded).
struct ReferralTarget {
    char *server;   // "host[:port]", or "ldaps://host[:port]" for a server reached over TLS
    char *dn;       // null: the original request's
    int32_t scope;  // qor::kUrlNoScope: the original search's
    char *filter;   // null: the original search's
};

void release_target(HostPool *pool, ReferralTarget *target) {
    qor::pool_free(pool, target->server);
    qor::pool_free(pool, target->dn);
    qor::pool_free(pool, target->filter);
}

enum class TargetRead { kRead, kNotFollowable, kNoMemory };

// Reads the target of the URL `text`. A text that is no URL, or one with a critical extension
// this client does not know, cannot be followed.
TargetRead read_target(LDAP *ld, const char *text, ReferralTarget *target) {
    const int32_t length = wzstlen(text);
    qor::LdapUrl url;
    if (qor::parse_ldap_url(text, length, &url) != qor::UrlParse::kParsed || url.critical_extension) {
        return TargetRead::kNotFollowable;
    }
    // The server part ends where the DN's "/" stands; a TLS server keeps its scheme, a plain one
    // is named by host and port.
    const bool tls = url.scheme == qor::UrlScheme::kLdaps;
    const int32_t server_start = tls ? 0 : kSchemeLength;
    const int32_t server_end = url.has_dn ? static_cast<int32_t>(url.dn.bytes - text) - 1 : length;
    HostPool *pool = ld->ld_pool;
    // Version-2 referral texts send a request on with the URL's DN alone; version-3 URLs also
    // say how to search.
    const bool whole_url = ld->ld_protocol_version >= kVersion3;
    *target = ReferralTarget{qor::pool_copy_bytes(pool, text + server_start, server_end - server_start), nullptr,
                             whole_url ? url.scope : qor::kUrlNoScope, nullptr};
    bool read = target->server != nullptr;
    if (read && url.has_dn) read = (target->dn = qor::url_unescape_copy(pool, url.dn)) != nullptr;
    if (read && whole_url && url.filter.length > 0) {
        read = (target->filter = qor::url_unescape_copy(pool, url.filter)) != nullptr;
    }
    if (read) return TargetRead::kRead;
    release_target(pool, target);
    return TargetRead::kNoMemory;
}

// First pass for a URL line: the re-encoded request and a connection to the referred server.
// A server that cannot be reached or bound, or a URL that cannot be followed, leaves the line
// unfollowed. False when chasing must stop (the request cannot be re-encoded, or no memory).
bool prepare_url_line(LDAP *ld, LDAPPendingRequest *top, ReferralLine *line) {
    line->is_url = true;
    ReferralTarget target{};
    const TargetRead read = read_target(ld, line->text, &target);
    if (read != TargetRead::kRead) {
        line->error = read == TargetRead::kNoMemory ? LDAP_NO_MEMORY : LDAP_PARAM_ERROR;
        ld->ld_errno = line->error;
        return read != TargetRead::kNoMemory;
    }

    line->msgid = ++ld->ld_last_msgid;
    char *dn = target.dn;
    BerElement *request = qor::re_encode_referred(ld, top->rq_ber, line->msgid, &dn, target.scope, target.filter);
    if (dn != target.dn) qor::pool_free(ld->ld_pool, dn);  // the top-level request's own DN
    LDAPServerEntry *servers = request != nullptr ? server_entry_for(ld, target.server) : nullptr;
    release_target(ld->ld_pool, &target);
    if (servers == nullptr) {
        if (request != nullptr) berfree(request, qor::kWithBuffer);
        return false;
    }
    ld->ld_errno = LDAP_SUCCESS;
    LDAPConnection *conn = find_connection(ld, servers, 1);
    if (conn == nullptr)
        conn = new_connection(ld, &servers, qor::kOwnSocketBuffer, qor::kConnect, qor::kBindForReferral);
    free_servers(ld, servers);
    line->error = ld->ld_errno;
    if (conn == nullptr) {
        berfree(request, qor::kWithBuffer);
        return true;
    }
    use_connection(ld, conn);
    line->state = LineState::kPrepared;
    line->request = request;
    line->conn = conn;
    return true;
}

// Cuts the referral lines of `lines` (the text after the marker) in place. A final line break
// ends the last line rather than starting an empty one.
int32_t split_lines(char *lines, ReferralLine *out, int32_t capacity) {
    int32_t length = wzstlen(lines);
    if (length > 0 && lines[length - 1] == '\n') lines[--length] = '\0';
    int32_t count = 0;
    char *start = lines;
    while (count < capacity) {
        int32_t remaining = length - static_cast<int32_t>(start - lines);
        int32_t end = wzstpos(start, remaining, '\n');
        out[count++].text = start;
        if (end < 0) break;
        start[end] = '\0';
        start += end + 1;
    }
    return count;
}

// Keeps the referral lines `lines` (the text after the marker, which `*error_text` holds) as
// the unfollowed referral text, replacing the error text; without lines the text stays as it
// is, cut at the marker. Answers 0, or -1 with ld_errno 90.
int32_t keep_unfollowed(LDAP *ld, char **error_text, char *lines, int32_t *had_referrals) {
    const int32_t length = wzstlen(lines);
    if (length > 0 && lines[length - 1] == '\n') lines[length - 1] = '\0';  // ends the last line
    if (*lines == '\0') return 0;
    char *unfollowed = nullptr;
    if (append_referral(ld, &unfollowed, lines) != 0) return -1;
    qor::pool_free(ld->ld_pool, *error_text);
    *error_text = unfollowed;
    *had_referrals = 1;
    return 0;
}

// Copies the elements of a request message that follow its operation (a compare's closing NULL)
// from `reader`, leaving out its controls, which a re-sent request takes from its session.
bool copy_message_tail(BerElement *reader, BerElement *ber) {
    constexpr int32_t kControlsTag = 0xA0;
    uint32_t length = 0;
    for (int32_t tag = berpktg(reader, &length); tag != -1; tag = berpktg(reader, &length)) {
        int32_t before = 0;
        const uint8_t *element = qor::unread_bytes(reader, &before);
        if (berscan(reader, "x") == -1) return false;
        int32_t after = 0;
        qor::unread_bytes(reader, &after);
        const int32_t size = before - after;
        if (tag != kControlsTag && berwrte(ber, element, size, 0) != size) return false;
    }
    return true;
}

// Writes a search's scope, dereferencing, limits, attributes-only flag and filter from `reader`
// (positioned after the base DN) into `ber`, with `scope` (kUrlNoScope: the search's own) and
// `filter` (null: the search's own) in their place; *rest and *rest_bytes then give what follows
// (the attribute list). False when the search cannot be read or the filter not written.
bool put_search_target(BerElement *reader, BerElement *ber, int32_t scope, char *filter, const uint8_t **rest_bytes,
                       int32_t *rest) {
    const uint8_t *start = *rest_bytes;
    int32_t own_scope = 0, deref = 0, size_limit = 0, time_limit = 0, attrs_only = 0;
    if (berscan(reader, "eeiib", &own_scope, &deref, &size_limit, &time_limit, &attrs_only) == -1 ||
        berprnt(ber, "eeiib", scope != qor::kUrlNoScope ? scope : own_scope, deref, size_limit, time_limit,
                attrs_only) == -1) {
        return false;
    }
    int32_t before = 0;
    const uint8_t *own_filter = qor::unread_bytes(reader, &before);
    if (berscan(reader, "x") == -1) return false;
    int32_t after = 0;
    const uint8_t *attributes = qor::unread_bytes(reader, &after);
    *rest -= static_cast<int32_t>(attributes - start);
    *rest_bytes = attributes;
    if (filter != nullptr) return put_filter(ber, filter) == 0;
    return berwrte(ber, own_filter, before - after, 0) == before - after;
}

}  // namespace

namespace qor {

int32_t append_referral_lines(LDAP *ld, char **place, const char *referral_text) {
    int32_t length = wzstlen(referral_text);
    if (length >= kMarkerLength && wzsteqn(referral_text, kMarkerLength, kMarker, kMarkerLength) != 0) {
        referral_text += kMarkerLength;
    }
    if (*referral_text == '\0') return 0;
    return append_referral(ld, place, referral_text);
}

}  // namespace qor

int32_t chase_referrals(LDAP *ld, LDAPPendingRequest *request, char **error_text, int32_t *had_referrals) {
    ld->ld_errno = LDAP_SUCCESS;
    *had_referrals = 0;
    char *text = *error_text;
    if (text == nullptr) return 0;

    int32_t length = wzstlen(text);
    int32_t marker = find_marker(text, length);
    if (marker < 0) return 0;
    text[marker] = '\0';
    char *lines_text = text + marker + kMarkerLength;
    if (request->rq_hop_count >= ld->ld_referral_hop_limit) {
        // Not followed any further (a loop ends here): the referrals stay the request's text, so
        // its result is a partial one that shows them, never a plain success.
        return keep_unfollowed(ld, error_text, lines_text, had_referrals);
    }

    int32_t capacity = 1;
    for (const char *c = lines_text; *c != '\0'; ++c) capacity += *c == '\n' ? 1 : 0;
    auto *lines = qor::pool_new_array<ReferralLine>(ld->ld_pool, capacity);
    if (lines == nullptr) {
        ld->ld_errno = LDAP_NO_MEMORY;
        return -1;
    }
    int32_t count = split_lines(lines_text, lines, capacity);
    LDAPPendingRequest *top = qor::top_level_request(request);

    // First pass: prepare every line, stopping at a failure that ends chasing. A tree sends at
    // most kMostReferralRequests children in all; URLs beyond that stay unfollowed.
    bool failed = false;
    int32_t failure = LDAP_SUCCESS;
    int32_t prepared = 0;
    for (int32_t i = 0; i < count && !failed; ++i) {
        ReferralLine &line = lines[i];
        *had_referrals = 1;
        int32_t line_length = wzstlen(line.text);
        bool url =
            (line_length > kSchemeLength && wzsteqn(line.text, kSchemeLength, kScheme, kSchemeLength) != 0) ||
            (line_length > kTlsSchemeLength && wzsteqn(line.text, kTlsSchemeLength, kTlsScheme, kTlsSchemeLength) != 0);
        if (!url || top->rq_children_sent + prepared >= kMostReferralRequests) continue;
        if (!prepare_url_line(ld, top, &line)) {
            failed = true;
            failure = ld->ld_errno;
        } else if (line.state == LineState::kPrepared) {
            ++prepared;
        }
    }

    // Second pass: send the prepared children (also after a failure: they were due first).
    int32_t sent = 0;
    for (int32_t i = 0; i < count; ++i) {
        ReferralLine &line = lines[i];
        if (line.state != LineState::kPrepared) continue;
        int32_t id =
            send_server_request(ld, line.request, line.msgid, request, nullptr, line.conn, qor::kBindForReferral);
        line.error = id == -1 ? ld->ld_errno : LDAP_SUCCESS;
        free_connection(ld, line.conn, qor::kOneUse, qor::kSendUnbind);  // the first pass's hold
        if (id != -1) {
            line.state = LineState::kSent;
            ++sent;
            ++top->rq_children_sent;
        }
    }

    // The referral text of what was not followed, in line order.
    char *unfollowed = nullptr;
    int32_t last_error = LDAP_SUCCESS;
    for (int32_t i = 0; i < count && !failed; ++i) {
        ReferralLine &line = lines[i];
        if (line.is_url) last_error = line.error;
        if (line.state == LineState::kSent) continue;
        if (append_referral(ld, &unfollowed, line.text) != 0) {
            failed = true;
            failure = LDAP_NO_MEMORY;
        }
    }
    qor::pool_free(ld->ld_pool, lines);

    if (failed) {
        qor::pool_free(ld->ld_pool, unfollowed);
        ld->ld_errno = failure;
        return -1;
    }
    qor::pool_free(ld->ld_pool, text);
    *error_text = unfollowed;
    ld->ld_errno = last_error;
    return sent;
}

int32_t append_referral(LDAP *ld, char **referrals, const char *line) {
    int32_t line_length = wzstlen(line);
    if (*referrals == nullptr) {
        auto *text = static_cast<char *>(qor::pool_alloc(ld->ld_pool, line_length + kMarkerLength + 1));
        if (text == nullptr) {
            ld->ld_errno = LDAP_NO_MEMORY;
            return -1;
        }
        __builtin_memcpy(text, kMarker, kMarkerLength);
        __builtin_memcpy(text + kMarkerLength, line, static_cast<size_t>(line_length));
        *referrals = text;
        return 0;
    }
    int32_t old_length = wzstlen(*referrals);
    void *grown = nullptr;
    if (wmrealc(ld->ld_pool, *referrals, 0, &grown, old_length + line_length + 2, qor::kPoolZeroFilled) != 0 ||
        grown == nullptr) {
        qor::pool_clear_text(ld->ld_pool, referrals);
        ld->ld_errno = LDAP_NO_MEMORY;
        return -1;
    }
    auto *text = static_cast<char *>(grown);
    text[old_length] = '\n';
    __builtin_memcpy(text + old_length + 1, line, static_cast<size_t>(line_length));
    text[old_length + 1 + line_length] = '\0';
    *referrals = text;
    return 0;
}

BerElement *re_encode_request(LDAP *ld, BerElement *original, int32_t msgid, char **dn) {
    return qor::re_encode_referred(ld, original, msgid, dn, qor::kUrlNoScope, nullptr);
}

namespace qor {

BerElement *re_encode_referred(LDAP *ld, BerElement *original, int32_t msgid, char **dn, int32_t scope, char *filter) {
    // A copy, so that the original keeps its position.
    BerElement reader = *original;
    int32_t old_id = 0;
    uint32_t length = 0;
    int32_t tag = berscan(&reader, "{i", &old_id) == 2 ? berpktg(&reader, &length) : -1;
    // A constructed operation carries its DN inside; a primitive one (delete) is its DN.
    bool constructed = tag != -1 && (tag & kConstructed) != 0;
    if (constructed) tag = bersktg(&reader, &length);
    int32_t left = 0;
    const uint8_t *contents = qor::unread_bytes(&reader, &left);
    if (tag == -1 || (constructed && length > static_cast<uint32_t>(left))) {
        ld->ld_errno = LDAP_DECODING_ERROR;
        return nullptr;
    }
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) return nullptr;

    int32_t version = 0;
    char *own_dn = nullptr;
    if ((tag == LDAP_REQ_BIND && bergint(&reader, &version) == -1) || bergstr(&reader, &own_dn) == -1) {
        ld->ld_errno = LDAP_DECODING_ERROR;
        berfree(ber, qor::kWithBuffer);
        return nullptr;
    }
    if (*dn == nullptr) {
        *dn = own_dn;
    } else {
        qor::pool_free(ld->ld_pool, own_dn);
    }

    int32_t head = !constructed           ? berprnt(ber, "{its", msgid, tag, *dn)
                   : tag == LDAP_REQ_BIND ? berprnt(ber, "{it{is", msgid, tag, version, *dn)
                                          : berprnt(ber, "{it{s", msgid, tag, *dn);
    if (head == -1) {
        ld->ld_errno = LDAP_ENCODING_ERROR;
        berfree(ber, qor::kWithBuffer);
        return nullptr;
    }
    // The rest of the operation, byte for byte, then the session's own controls (a referred
    // search asks for no page of ours), then what else the message held after the operation.
    int32_t rest = 0;
    const uint8_t *rest_bytes = qor::unread_bytes(&reader, &rest);
    rest = constructed ? static_cast<int32_t>(contents + length - rest_bytes) : 0;
    const qor::ControlsFor controls = tag == LDAP_REQ_SEARCH ? qor::ControlsFor::kReferredSearch
                                      : tag == LDAP_REQ_BIND ? qor::ControlsFor::kNone
                                                             : qor::ControlsFor::kEntryOperation;
    const bool retargeted = tag == LDAP_REQ_SEARCH && (scope != qor::kUrlNoScope || filter != nullptr);
    if (retargeted && !put_search_target(&reader, ber, scope, filter, &rest_bytes, &rest)) {
        ld->ld_errno = LDAP_ENCODING_ERROR;
        berfree(ber, qor::kWithBuffer);
        return nullptr;
    }
    qor::skip_unread(&reader, rest);
    if (rest < 0 || (rest > 0 && berwrte(ber, rest_bytes, rest, 0) != rest) ||
        (constructed && berprnt(ber, "}") == -1) || qor::put_request_controls(ld, ber, controls) != 0 ||
        !copy_message_tail(&reader, ber) || berprnt(ber, "}") == -1) {
        ld->ld_errno = LDAP_ENCODING_ERROR;
        berfree(ber, qor::kWithBuffer);
        return nullptr;
    }
    return ber;
}

}  // namespace qor
