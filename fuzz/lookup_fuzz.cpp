// Lookups through the directory vector: a session opened with dsopen to a peer that answers with
// the bytes of the input (first the binds, then the search), an entry or a filter looked up, and
// every value of the result set read with every getter, as host programs do.
//   - dsopen and the lookup answer a status, never crash or hang;
//   - a result set is well formed (DNs, names and value texts present, da_count values);
//   - once the result set is released and the session closed, its pool is empty when destroyed.
// The first input byte: bit 0 dsreslv with a filter (else dsrslvdn), bit 1 a US-ASCII host,
// bit 2 referral chasing, bits 3-7 the allocation to fail during the lookup (0: none). The rest is
// what the peer sends before it ends the stream (a bind response comes first).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/support/loopback.h"
#include "fuzz/support/runtime.h"
#include "qorldap/qorhost.h"
#include "qorldap/qorldap.h"

namespace {

using qorfuzz::fail;

qorfuzz::ScriptedPeer *peer = nullptr;

template <typename Function>
Function slot(int number) {
    auto function = reinterpret_cast<Function>(qorhost_vector(QORLDAP_MODULE)[number]);
    if (function == nullptr) fail("slot %d of the directory vector is empty", number);
    return function;
}

// Reads one value every way a host program can, in an order chosen by `order`.
void read_value(LDAP *ld, dsval *value, int order) {
    if (value->dv_text == nullptr) fail("a value without text");
    (void)strlen(value->dv_text);
    switch (order % 4) {
    case 0:
        slot<qorldap_dsgint_fn>(QORLDAP_DSGINT)(value);
        slot<qorldap_dsgshrt_fn>(QORLDAP_DSGSHRT)(value);
        slot<qorldap_dsglong_fn>(QORLDAP_DSGLONG)(value);
        break;
    case 1:
        slot<qorldap_dsgdbl_fn>(QORLDAP_DSGDBL)(value);
        slot<qorldap_dsgflt_fn>(QORLDAP_DSGFLT)(value);
        slot<qorldap_dsgint_fn>(QORLDAP_DSGINT)(value);
        break;
    default: {
        int32_t length = -1;
        unsigned char *bytes = slot<qorldap_dsgbin_fn>(QORLDAP_DSGBIN)(ld, value, &length);
        if (bytes != nullptr) {
            if (length < 0) fail("dsgbin answered bytes with length %d", length);
            volatile unsigned char sum = 0;
            for (int32_t i = 0; i < length; ++i) sum = sum + bytes[i];
        }
        slot<qorldap_dsgdbl_fn>(QORLDAP_DSGDBL)(value);
        break;
    }
    }
    if (char *text = slot<qorldap_dsgstr_fn>(QORLDAP_DSGSTR)(value)) (void)strlen(text);
}

void read_result_set(LDAP *ld, dsent **result) {
    int order = 0;
    for (dsent **entry = result; *entry != nullptr; ++entry) {
        if ((*entry)->de_dn == nullptr) fail("an entry without DN");
        (void)strlen((*entry)->de_dn);
        slot<qorldap_dsiscls_fn>(QORLDAP_DSISCLS)(ld, *entry, "person", 6);
        for (dsatt **attribute = (*entry)->de_atts; attribute != nullptr && *attribute != nullptr; ++attribute) {
            if ((*attribute)->da_name == nullptr) fail("an attribute without name");
            (void)strlen((*attribute)->da_name);
            if ((*attribute)->da_count < 0) fail("an attribute with %d values", (*attribute)->da_count);
            for (int32_t i = 0; i < (*attribute)->da_count; ++i) {
                if ((*attribute)->da_vals[i] == nullptr) fail("value %d of %d missing", i, (*attribute)->da_count);
                read_value(ld, (*attribute)->da_vals[i], order++);
            }
            if ((*attribute)->da_vals[(*attribute)->da_count] != nullptr) fail("a value array without its null slot");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    peer = qorfuzz::start_peer_with_referral_servers();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    const long fail_at = flags >> 3;
    qorhost_set_encoding((flags & 0x02) != 0 ? 4 : 20);

    peer->serve_in_background(data + 1, size - 1);
    LDAP *ld = nullptr;
    // The peer serves one connection per input: the session must not reconnect once it has ended.
    const int32_t options = ((flags & 0x04) != 0 ? DS_OPT_CHASE_REFERRALS : 0) | DS_OPT_NO_RECONNECT;
    const int32_t opened =
        slot<qorldap_dsopen_fn>(QORLDAP_DSOPEN)(&ld, "127.0.0.1", peer->port(), options, "o=example", nullptr, nullptr);
    if (opened != DS_OK) {
        if (ld != nullptr) fail("dsopen failed with 0x%08X and stored a session", static_cast<unsigned>(opened));
    } else {
        if (ld == nullptr) fail("dsopen answered DS_OK without a session");
        slot<qorldap_dsopt_fn>(QORLDAP_DSOPT)(ld, 1, -1, -1, nullptr);
        dsent **result = nullptr;
        int32_t status = 0;
        {
            qorfuzz::AllocationFaults faults(fail_at, false);
            char *attributes[] = {const_cast<char *>("cn"), const_cast<char *>("mail"), nullptr};
            status = (flags & 0x01) != 0
                         ? slot<qorldap_dsreslv_fn>(QORLDAP_DSRESLV)(ld, "(objectclass=*)", attributes, &result)
                         : slot<qorldap_dsrslvdn_fn>(QORLDAP_DSRSLVDN)(ld, "cn=x,o=example", nullptr, &result);
        }
        if (DS_FAILED(status) && result != nullptr) fail("a failed lookup (0x%08X) delivered a result set", static_cast<unsigned>(status));
        if (result != nullptr) {
            read_result_set(ld, result);
            if (slot<qorldap_dsfree_fn>(QORLDAP_DSFREE)(ld, result) != DS_OK) fail("dsfree refused a result set");
        }
        if (char *message = slot<qorldap_dsgeterr_fn>(QORLDAP_DSGETERR)(ld)) (void)strlen(message);
        qorfuzz::end_session(ld, [](LDAP *session) { slot<qorldap_dsclose_fn>(QORLDAP_DSCLOSE)(session); });
    }
    peer->close();
    qorhost_set_encoding(20);
    return 0;
}
