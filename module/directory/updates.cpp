// Directory updates: adding, modifying and deleting entries, and comparing a value. Each turns
// its input into the protocol client's modification records, which point into the caller's
// attribute lists (names and value texts are never copied), sends one request and waits for it.
#include "directory.h"

namespace {

// The directory status of a synchronous protocol operation's answer.
int32_t folded(const LDAP *ld, int32_t answer) {
    return answer == LDAP_SUCCESS ? DS_OK : qor::ds::protocol_failure(ld, answer);
}

int32_t count_attributes(dsatt *const *attributes) {
    int32_t count = 0;
    while (attributes != nullptr && attributes[count] != nullptr) ++count;
    return count;
}

// A null-terminated list of modification records under construction. Releasing it releases
// every record and value array it holds; the caller's attribute lists stay untouched.
struct ModList {
    HostPool *pool;
    LDAPMod **mods = nullptr;
    int32_t used = 0;

    // Room for `capacity` records and the terminator.
    bool reserve(int32_t capacity) {
        if (capacity < 0 || capacity == INT32_MAX) return false;
        mods = qor::pool_new_array<LDAPMod *>(pool, capacity + 1);
        return mods != nullptr;
    }

    // Appends a record for `attribute` with operation `operation`: its type and the text forms
    // of its values (made once and kept in the values). A value without a text form (a null
    // record, or a kind that has none) is passed over, so it never cuts the list short. An
    // attribute with values none of which has a text form is refused (DS_NO_VALUES): sent with
    // an empty value set, a replace or a delete would remove the whole attribute.
    int32_t append(LDAP *ld, int32_t operation, dsatt *attribute) {
        auto *mod = qor::pool_new<LDAPMod>(pool);
        if (mod == nullptr) return DS_NO_MEMORY;
        mods[used++] = mod;
        mod->mod_op = operation;
        mod->mod_type = attribute->da_name;
        const int32_t count = attribute->da_count > 0 ? attribute->da_count : 0;
        mod->mod_values = qor::pool_new_array<char *>(pool, count + 1);
        if (mod->mod_values == nullptr) return DS_NO_MEMORY;
        int32_t filled = 0;
        for (int32_t k = 0; k < count && attribute->da_vals != nullptr; ++k) {
            dsval *value = attribute->da_vals[k];
            if (value == nullptr) continue;
            const int32_t fixed = dsfixval(ld, value);
            if (fixed != DS_OK) return fixed;
            if (value->dv_text != nullptr) mod->mod_values[filled++] = value->dv_text;
        }
        return count > 0 && filled == 0 ? DS_NO_VALUES : DS_OK;
    }

    void release() {
        if (mods == nullptr) return;
        for (int32_t i = 0; i < used; ++i) {
            if (mods[i] != nullptr) qor::pool_free(pool, mods[i]->mod_values);
            qor::pool_free(pool, mods[i]);
        }
        qor::pool_free(pool, mods);
        mods = nullptr;
    }
};

// Sends the modification list and releases it; with `status` not DS_OK it only releases.
int32_t finish_modify(LDAP *ld, const char *dn, ModList &list, int32_t status) {
    if (status == DS_OK) {
        status = folded(ld, qor::ds::run_synchronously(ld, [&] { return ldap_modify_s(ld, dn, list.mods); }));
    }
    list.release();
    return status;
}

}  // namespace

int32_t dsreg(LDAP *ld, const char *dn, dsent *entry) {
    if (ld == nullptr) return DS_NO_SESSION;
    qor::ds::clear_error_texts(ld);
    if (dn == nullptr) return DS_NO_DN;
    if (entry == nullptr) return DS_MISSING_ARGUMENT;
    const int32_t count = count_attributes(entry->de_atts);
    if (count == 0) return DS_NOTHING_TO_SEND;

    ModList list{ld->ld_pool};
    if (!list.reserve(count)) return DS_NO_MEMORY;
    int32_t status = DS_OK;
    for (int32_t i = 0; status == DS_OK && i < count; ++i) {
        dsatt *attribute = entry->de_atts[i];
        if (attribute->da_count == 0) continue;  // the others are still sent
        status = list.append(ld, LDAP_MOD_ADD, attribute);
    }
    if (status == DS_OK) {
        status = folded(ld, qor::ds::run_synchronously(ld, [&] { return ldap_add_s(ld, dn, list.mods); }));
    }
    list.release();
    return status;
}

int32_t dsdereg(LDAP *ld, const char *dn) {
    if (ld == nullptr) return DS_NO_SESSION;
    qor::ds::clear_error_texts(ld);
    if (!qor::ds::given(dn)) return DS_NO_DN;
    return folded(ld, qor::ds::run_synchronously(ld, [&] { return ldap_delete_s(ld, dn); }));
}

// A delete change without values removes the whole attribute and goes out with an empty value
// set; any other change needs values.
int32_t dsmodify(LDAP *ld, const char *dn, dsmod **changes) {
    if (ld == nullptr) return DS_NO_SESSION;
    qor::ds::clear_error_texts(ld);
    if (!qor::ds::given(dn)) return DS_NO_DN;
    if (changes == nullptr || changes[0] == nullptr) return DS_NOTHING_TO_SEND;
    int32_t count = 0;
    while (changes[count] != nullptr) ++count;

    ModList list{ld->ld_pool};
    if (!list.reserve(count)) return DS_NO_MEMORY;
    int32_t status = DS_OK;
    for (int32_t i = 0; status == DS_OK && i < count; ++i) {
        const dsmod *change = changes[i];
        if (change->dm_att == nullptr) {
            status = DS_NOTHING_TO_SEND;
        } else if (change->dm_att->da_count == 0 && change->dm_op != LDAP_MOD_DELETE) {
            status = DS_NO_VALUES;
        } else {
            status = list.append(ld, change->dm_op, change->dm_att);
        }
    }
    return finish_modify(ld, dn, list, status);
}

// Every attribute of a group takes the group's operation; here a delete needs values too.
int32_t dsmodpad(LDAP *ld, const char *dn, dsmodg **groups) {
    if (ld == nullptr) return DS_NO_SESSION;
    qor::ds::clear_error_texts(ld);
    if (!qor::ds::given(dn)) return DS_NO_DN;
    if (groups == nullptr || groups[0] == nullptr) return DS_NOTHING_TO_SEND;
    int32_t count = 0;
    for (dsmodg **group = groups; *group != nullptr; ++group) {
        const int32_t in_group = count_attributes((*group)->dg_atts);
        if (in_group > INT32_MAX - count) return DS_NO_MEMORY;
        count += in_group;
    }

    ModList list{ld->ld_pool};
    if (!list.reserve(count)) return DS_NO_MEMORY;
    int32_t status = DS_OK;
    for (dsmodg **group = groups; status == DS_OK && *group != nullptr; ++group) {
        dsatt **attributes = (*group)->dg_atts;
        for (int32_t i = 0; status == DS_OK && attributes != nullptr && attributes[i] != nullptr; ++i) {
            status = attributes[i]->da_count == 0 ? DS_NO_VALUES : list.append(ld, (*group)->dg_op, attributes[i]);
        }
    }
    return finish_modify(ld, dn, list, status);
}

// One change built in the call's own storage: nothing is allocated and the texts go as given.
int32_t dsmodone(LDAP *ld, const char *dn, int32_t operation, const char *type, char **values) {
    if (ld == nullptr) return DS_NO_SESSION;
    qor::ds::clear_error_texts(ld);
    if (!qor::ds::given(dn)) return DS_NO_DN;
    if (!qor::ds::given(type)) return DS_NOTHING_TO_SEND;
    if (values == nullptr || values[0] == nullptr) return DS_NO_VALUES;
    LDAPMod change{};
    change.mod_op = operation;
    change.mod_type = const_cast<char *>(type);
    change.mod_values = values;
    LDAPMod *list[2] = {&change, nullptr};
    return folded(ld, qor::ds::run_synchronously(ld, [&] { return ldap_modify_s(ld, dn, list); }));
}

// The server answers compareTrue (6) or compareFalse (5); both arrive as statuses, so only a
// protocol answer of 0 gives DS_OK.
int32_t dscompar(LDAP *ld, const char *dn, const char *type, const char *value) {
    if (ld == nullptr) return DS_NO_SESSION;
    qor::ds::clear_error_texts(ld);
    if (dn == nullptr || type == nullptr || value == nullptr) return DS_MISSING_ARGUMENT;
    return folded(ld, qor::ds::run_synchronously(ld, [&] { return ldap_compare_s(ld, dn, type, value); }));
}
