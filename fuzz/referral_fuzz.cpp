// Referral text: arbitrary error text handed to chase_referrals for a request that a session has
// sent, as the reader does with a result's error text. Referred servers are the fuzz program's
// referral servers (odd ports answer, even ports refuse; every name is 127.0.0.1), so each line
// is followed or refused at once.
//   - chase_referrals answers -1 with ld_errno set, or the number of children sent, which is the
//     number of descendants the request now has;
//   - text without the marker comes back untouched; the unfollowed referral text starts with the
//     marker;
//   - nothing the chase made outlives the session (its pool is empty when destroyed).
// The first input byte: bits 0-2 the request (search, bind, delete, modify, add, compare, or a
// search on a version-3 session), bits 3-5 the request's hop count, bit 6 a rebind procedure
// that supplies credentials. The second: bits 0-5 the allocation to fail while chasing (0:
// none), bit 7 failing allocations go on failing. The rest is the error text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <strings.h>

#include "fuzz/support/loopback.h"
#include "fuzz/support/runtime.h"
#include "module/client/client.h"
#include "qorldap/qorhost.h"

namespace {

using qorfuzz::fail;

constexpr char kMarker[] = "Referral:\n";

std::uint16_t server_port = 0;

int32_t supply_credentials(LDAP *, char **dn, char **password, int32_t *method, int32_t free_it) {
    if (free_it == 0) {
        *dn = const_cast<char *>("cn=referral,o=example");
        *password = const_cast<char *>("secret");
        *method = LDAP_AUTH_SIMPLE;
    }
    return 0;
}

// Sends the request the children re-send; its message id.
int32_t send_request(LDAP *ld, int kind) {
    char *attributes[] = {const_cast<char *>("cn"), nullptr};
    char *values[] = {const_cast<char *>("a"), const_cast<char *>("b"), nullptr};
    LDAPMod mod{LDAP_MOD_REPLACE, const_cast<char *>("cn"), {values}};
    LDAPMod *mods[] = {&mod, nullptr};
    switch (kind) {
    case 1: return ldap_simple_bind(ld, "cn=admin,o=example", "secret");
    case 2: return ldap_delete(ld, "cn=x,o=example");
    case 3: return ldap_modify(ld, "cn=x,o=example", mods);
    case 4: return ldap_add(ld, "cn=x,o=example", mods);
    case 5: return ldap_compare(ld, "cn=x,o=example", "cn", "x");
    default: return ldap_search(ld, "o=example", LDAP_SCOPE_SUBTREE, "(cn=a*)", attributes, 0);
    }
}

bool has_marker(const std::string &text) {
    for (size_t at = 0; at + 10 <= text.size(); ++at) {
        if (strncasecmp(text.c_str() + at, kMarker, 10) == 0) return true;
    }
    return false;
}

int descendants(const LDAPPendingRequest *top) {
    int count = 0;
    for (const LDAPPendingRequest *d = top->rq_descendant_next; d != nullptr; d = d->rq_descendant_next) ++count;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qorfuzz::start_runtime();
    server_port = qorfuzz::start_referral_servers(nullptr, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const int kind = data[0] & 0x07;
    const int32_t hops = (data[0] >> 3) & 0x07;
    const long fail_at = data[1] & 0x3F;
    const bool keep_failing = (data[1] & 0x80) != 0;
    std::string text(reinterpret_cast<const char *>(data + 2), size - 2);
    text = text.substr(0, text.find('\0'));

    LDAP *ld = qorfuzz::open_to_peer(server_port);
    ld->ld_timelimit = 1000;
    if (kind == 6) ld->ld_protocol_version = 3;
    if ((data[0] & 0x40) != 0) ldap_set_rebind_proc(ld, supply_credentials);
    const int32_t msgid = send_request(ld, kind);
    LDAPPendingRequest *request = msgid == -1 ? nullptr : find_request_by_msgid(ld, msgid);
    if (request == nullptr) fail("the request was not sent");
    request->rq_hop_count = hops;

    char *error_text = static_cast<char *>(ld->ld_pool->allocate(ld->ld_pool, static_cast<int32_t>(text.size() + 1), 6));
    if (error_text == nullptr) fail("no memory for the error text");
    memcpy(error_text, text.data(), text.size());
    char *const given = error_text;

    // As the reader does: while chasing waits for binds, a result for this request is not taken.
    request->rq_status = REQ_CHASING_REFERRALS;
    int32_t referrals = -1;
    int32_t sent = 0;
    bool faults_injected = false;
    {
        qorfuzz::AllocationFaults faults(fail_at, keep_failing);
        sent = chase_referrals(ld, request, &error_text, &referrals);
        faults_injected = qorhost_failures_injected() != 0;
    }
    request->rq_status = REQ_IN_PROGRESS;

    if (sent < -1) fail("chase_referrals answered %d", sent);
    if (referrals != 0 && referrals != 1) fail("chase_referrals set the referral flag to %d", referrals);
    if (sent == -1 && ld->ld_errno == LDAP_SUCCESS) fail("chase_referrals failed without ld_errno");
    if (sent >= 0) {
        if (descendants(request) != sent || request->rq_open_children != sent) {
            fail("chase_referrals answered %d children; the request has %d descendants, %d open", sent,
                 descendants(request), request->rq_open_children);
        }
        if (!has_marker(text) && !faults_injected && (sent != 0 || referrals != 0 || error_text != given || text != error_text)) {
            fail("chase_referrals acted on a text without the marker");
        }
        if (referrals != 0 && error_text != nullptr && strncmp(error_text, kMarker, 10) != 0) {
            fail("the unfollowed referral text does not start with the marker");
        }
        if (referrals == 0 && (error_text != given || strncmp(error_text, text.c_str(), strlen(error_text)) != 0)) {
            fail("without referral lines the error text must be the given one, at most cut at the marker");
        }
    }
    if (error_text != nullptr) ld->ld_pool->release(ld->ld_pool, error_text, 0, 4);
    qorfuzz::free_session(ld);
    return 0;
}
