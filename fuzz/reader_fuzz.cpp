// The reader: arbitrary bytes from a peer on a real loopback connection, delivered to a session
// that has a search pending (and, by choice, a delete and an abandoned request). ldap_result must
// answer with a message, 0 or -1, never crash, hang or lose pool blocks, and every message handed
// out is walked with the entry, attribute and value accessors before it is released. Referrals in
// results are chased to the fuzz program's referral servers.
//
// The first input byte chooses the session's settings and how the caller waits:
//   0x01 all = 1          0x02 wait for the search's id (else any id)
//   0x04 a delete request too            0x08 no referral chasing
//   0x10 a result cache, and the search asked again once the answers are read
//   0x20 protocol version 1              0x40 the search abandoned before the wait
//   0x80 waits that fail are restarted
// The second byte: bits 0-5 the allocation to fail while the answers are read (0: none), bit 6
// a US-ASCII host (every value that is not ASCII arrives as Base64), bit 7 failing allocations
// go on failing. The rest is what the peer sends before it ends the stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/support/loopback.h"
#include "fuzz/support/runtime.h"
#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"

namespace {

using qorfuzz::fail;

constexpr int kMaxCalls = 64;
constexpr int kMaxFailures = 3;

qorfuzz::ScriptedPeer *peer = nullptr;

void walk_values(LDAP *ld, LDAPMessage *entry, const std::string &type) {
    char **texts = ldap_get_values(ld, entry, type.c_str());
    if (texts != nullptr) {
        for (int32_t i = 0; i < ldap_count_values(texts); ++i) {
            if (texts[i] == nullptr) fail("ldap_count_values counted past the end");
            (void)strlen(texts[i]);
        }
        ldap_value_free(ld->ld_pool, texts);
    }
    berval **values = ldap_get_values_len(ld, entry, type.c_str());
    if (values != nullptr) {
        for (int32_t i = 0; i < ldap_count_values_len(values); ++i) {
            if (values[i]->bv_len < 0) fail("a value with a negative length");
            if (values[i]->bv_len > 0) (void)std::string(values[i]->bv_val, static_cast<size_t>(values[i]->bv_len));
        }
        ldap_value_free_len(ld->ld_pool, values);
    }
}

// Reads every entry of a chain the way a lookup does.
void walk_chain(LDAP *ld, LDAPMessage *chain) {
    int32_t counted = ldap_count_entries(ld, chain);
    int32_t walked = 0;
    for (LDAPMessage *entry = ldap_first_entry(ld, chain); entry != nullptr; entry = ldap_next_entry(ld, entry)) {
        ++walked;
        if (char *dn = ldap_get_dn(ld, entry)) {
            (void)strlen(dn);
            ld->ld_pool->release(ld->ld_pool, dn, 0, 4);
        }
        BerElement *iteration = nullptr;
        for (char *type = ldap_first_attribute(ld, entry, &iteration); type != nullptr;
             type = ldap_next_attribute(ld, entry, iteration)) {
            walk_values(ld, entry, std::string(type));
        }
    }
    if (walked > counted) fail("ldap_first_entry/ldap_next_entry walked %d entries, ldap_count_entries %d", walked, counted);
}

// Waits for answers until ldap_result has nothing more to give. A failure is not the end: when
// the peer's stream has ended, answers of referral servers may still be on their way.
void read_answers(LDAP *ld, int32_t msgid, int32_t all) {
    int failures = 0;
    for (int call = 0; call < kMaxCalls && failures < kMaxFailures; ++call) {
        LDAPMessage *message = reinterpret_cast<LDAPMessage *>(1);
        int32_t type = ldap_result(ld, msgid, all, 0, &message);
        if (type == 0 || type == -1) {
            if (message != nullptr) fail("ldap_result answered %d and handed out a message", type);
            if (type == 0) return;
            ++failures;
            continue;
        }
        failures = 0;
        if (message == nullptr) fail("ldap_result answered %d without a message", type);
        if (message->lm_list_next != nullptr) fail("a message handed out still linked to the queue");
        if (msgid != -1 && message->lm_id != msgid) fail("waiting for id %d, ldap_result handed out id %d", msgid, message->lm_id);
        walk_chain(ld, message);
        ldap_result2error(ld, message, 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    peer = qorfuzz::start_peer_with_referral_servers();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const long fail_at = data[1] & 0x3F;
    const bool keep_failing = (data[1] & 0x80) != 0;
    qorhost_set_encoding((data[1] & 0x40) != 0 ? 4 : 20);
    LDAP *ld = qorfuzz::open_to_peer(peer->port());
    peer->accept_session();
    ld->ld_timelimit = 1000;
    if ((flags & 0x08) != 0) ld->ld_option_flags &= ~OPT_CHASE_REFERRALS;
    if ((flags & 0x10) != 0 && ldap_enable_cache(ld, 1000000, 0) != 0) fail("ldap_enable_cache failed");
    if ((flags & 0x20) != 0) ld->ld_protocol_version = 1;
    if ((flags & 0x80) != 0) ld->ld_option_flags |= OPT_RESTART_WAIT;

    char *attributes[] = {const_cast<char *>("cn"), const_cast<char *>("mail"), nullptr};
    const int32_t search = ldap_search(ld, "o=example", LDAP_SCOPE_SUBTREE, "(objectclass=*)", attributes, 0);
    if (search != 1) fail("the search was sent as id %d", search);
    if ((flags & 0x04) != 0 && ldap_delete(ld, "cn=x,o=example") == -1) fail("the delete was not sent");
    if ((flags & 0x40) != 0 && ldap_abandon(ld, search) != 0) fail("the search could not be abandoned");

    peer->send_and_end(data + 2, size - 2);
    const int32_t msgid = (flags & 0x02) != 0 ? search : -1;
    const int32_t all = flags & 0x01;
    {
        qorfuzz::AllocationFaults faults(fail_at, keep_failing);
        read_answers(ld, msgid, all);
        if ((flags & 0x10) != 0) {
            // Answered from the cache when the first search completed; else the stream has ended.
            const int32_t again = ldap_search(ld, "o=example", LDAP_SCOPE_SUBTREE, "(objectclass=*)", attributes, 0);
            if (again != -1) read_answers(ld, again, all);
        }
    }
    qorhost_set_encoding(20);
    peer->close();
    qorfuzz::free_session(ld);
    return 0;
}
