// Group expansion: a group turned into the subscriber entries of its members, depth first. For
// each member the subscribers pointing at it are searched; a member without subscribers that
// is itself a group is expanded in turn at its place, unless it already stands on the path
// being expanded (a group cycle), in which case it contributes nothing.
#include "../client/ldfilter.h"
#include "../host/services.h"
#include "directory.h"

namespace {

constexpr int32_t kOutputStep = 20;  // slots the output array starts with and grows by

const char *const kMemberAttributes[] = {"member", "uniquemember", nullptr};

// The groups being expanded, innermost first: each node names a group's DN as the server
// returned it.
struct PathNode {
    const char *dn;
    const PathNode *outer;
};

bool on_path(const PathNode *path, const char *dn) {
    const int32_t length = wzstlen(dn);
    for (; path != nullptr; path = path->outer) {
        if (wzsteqn(path->dn, wzstlen(path->dn), dn, length) == 1) return true;
    }
    return false;
}

// The result set being assembled; a null slot always follows the last entry.
struct Output {
    HostPool *pool;
    dsent **entries = nullptr;
    int32_t count = 0;
    int32_t capacity = 0;

    bool start() {
        entries = qor::pool_new_array<dsent *>(pool, kOutputStep);
        capacity = entries != nullptr ? kOutputStep : 0;
        return entries != nullptr;
    }

    // Takes `entry` over; false (the entry still the caller's) when the array cannot grow.
    bool append(dsent *entry) {
        if (count + 1 >= capacity) {
            void *grown = nullptr;
            const int32_t size = (capacity + kOutputStep) * static_cast<int32_t>(sizeof(dsent *));
            if (wmrealc(pool, entries, -1, &grown, size, qor::kPoolZeroFilled) != 0 || grown == nullptr) return false;
            entries = static_cast<dsent **>(grown);
            capacity += kOutputStep;
        }
        entries[count++] = entry;
        return true;
    }

    // Takes over the entries of `set` in order and releases its array. On failure the entries
    // not taken are released with it.
    bool take_all(dsent **set) {
        bool taken = true;
        for (dsent **entry = set; *entry != nullptr; ++entry) {
            if (taken && append(*entry)) continue;
            taken = false;
            qor::ds::release_entry(pool, *entry);
        }
        qor::pool_free(pool, set);
        return taken;
    }

    void release() {
        for (int32_t i = 0; i < count; ++i) qor::ds::release_entry(pool, entries[i]);
        qor::pool_free(pool, entries);
        entries = nullptr;
        count = capacity = 0;
    }
};

// The subscriber filter of a member:
//   (&(|(objectclass=qorsubscriber)(qorInterface=qorsubscriber))(qorpersondn=<member DN>))
// written as elements, so that the DN reaches the server as its assertion value byte for byte,
// whatever it holds and however long it is. For a DN the text form can carry, these are the
// very bytes the text would encode to.
int32_t write_subscriber_filter(BerElement *ber, const void *member_dn) {
    const auto *dn = static_cast<const char *>(member_dn);
    const bool written = berprnt(ber, "t{t{", qor::kFilterAnd, qor::kFilterOr) != -1 &&
                         put_equality_filter(ber, "objectclass", "qorsubscriber") == 0 &&
                         put_equality_filter(ber, "qorInterface", "qorsubscriber") == 0 && berprnt(ber, "}") != -1 &&
                         put_equality_filter(ber, "qorpersondn", dn) == 0 && berprnt(ber, "}") != -1;
    return written ? 0 : -1;
}

constexpr char kGroupOfUniqueNames[] = "groupofuniquenames";
constexpr char kGroupOfNames[] = "groupofnames";

bool is_group(LDAP *ld, dsent *entry) {
    return dsiscls(ld, entry, kGroupOfUniqueNames, literal_length(kGroupOfUniqueNames)) == 1 ||
           dsiscls(ld, entry, kGroupOfNames, literal_length(kGroupOfNames)) == 1;
}

int32_t expand_group(LDAP *ld, const char *dn, const PathNode *outer, Output *out);

// Whether a lookup's status says that no answer could be had at all (the connection, the time
// limit, the client's own encoding or decoding, memory), rather than the server's answer.
bool unanswered(int32_t status) {
    const int32_t code = DS_CODE(status);
    return DS_FAILED(status) && code >= LDAP_SERVER_DOWN && code <= LDAP_NO_MEMORY;
}

// The contribution of one member: its subscribers, or, when it has none and is a group not on
// the path, that group's expansion. A member the server says nothing about (no subscribers, no
// readable entry) is passed over; a lookup that got no answer at all fails the expansion, since
// passing over it would silently cut the list short.
int32_t expand_member(LDAP *ld, const char *member_dn, const PathNode *path, Output *out) {
    dsent **subscribers = nullptr;
    const int32_t searched = qor::ds::lookup_with_filter_writer(
        ld, ld->ld_defbase, LDAP_SCOPE_SUBTREE, write_subscriber_filter, member_dn, nullptr, &subscribers);
    if (subscribers != nullptr) return out->take_all(subscribers) ? DS_OK : DS_NO_MEMORY;
    if (unanswered(searched)) return searched;

    dsent **member = nullptr;
    const int32_t read = dsrslvdn(ld, member_dn, nullptr, &member);
    if (member == nullptr) return unanswered(read) ? read : DS_OK;
    int32_t status = DS_OK;
    // A warning comes with the whole entry (a base-object read has one).
    if (is_group(ld, member[0]) && !on_path(path, member[0]->de_dn)) {
        status = expand_group(ld, member[0]->de_dn, path, out);
    }
    dsfree(ld, member);
    return status;
}

// Reads the group `dn` and appends the expansion of its members (the values of the first
// member attribute the server returned) to `out`, whose array is started when the first group
// with members is found. DS_OK also when the group has no entry or no members.
int32_t expand_group(LDAP *ld, const char *dn, const PathNode *outer, Output *out) {
    if (dn == nullptr || *dn == '\0') return DS_MISSING_ARGUMENT;
    qor::ds::clear_error_texts(ld);
    dsent **group = nullptr;
    const int32_t read = dsrslvdn(ld, dn, const_cast<char **>(kMemberAttributes), &group);
    if (read != DS_OK) {
        if (group != nullptr) dsfree(ld, group);
        return read;
    }
    if (group == nullptr) return DS_OK;
    dsatt *members = group[0]->de_atts != nullptr ? group[0]->de_atts[0] : nullptr;
    int32_t status = DS_OK;
    if (members != nullptr && (out->entries != nullptr || out->start())) {
        const PathNode here{group[0]->de_dn, outer};
        for (int32_t k = 0; status == DS_OK && k < members->da_count; ++k) {
            const dsval *value = members->da_vals[k];
            if (value != nullptr && value->dv_text != nullptr) status = expand_member(ld, value->dv_text, &here, out);
        }
    } else if (members != nullptr) {
        status = DS_NO_MEMORY;
    }
    dsfree(ld, group);
    return status;
}

}  // namespace

int32_t dsexpgrp(LDAP *ld, const char *group_dn, dsent ***result) {
    if (ld == nullptr) return DS_NO_SESSION;
    if (group_dn == nullptr || *group_dn == '\0' || result == nullptr) return DS_MISSING_ARGUMENT;
    qor::ds::clear_error_texts(ld);
    *result = nullptr;
    Output out{ld->ld_pool};
    const int32_t status = expand_group(ld, group_dn, nullptr, &out);
    if (status != DS_OK) {
        out.release();
        return status;
    }
    *result = out.entries;
    return DS_OK;
}
