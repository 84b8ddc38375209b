// A result set built from a search's chain of messages: every entry, its DN, its attributes in
// the order the server sent them, each value's bytes with a NUL after them. The set is
// independent of the chain, which the caller releases.
#include "../host/services.h"
#include "directory.h"

namespace {

constexpr int32_t kInitialAttributeSlots = 20;

// Why building stopped: the pool had nothing to give (the client's own code 90, or an
// allocation here), or the client could not decode what the server sent.
int32_t walk_failure(const LDAP *ld) {
    return ld->ld_errno == LDAP_NO_MEMORY || ld->ld_errno == 0 ? DS_NO_MEMORY : DS_STATUS(ld->ld_errno);
}

// Number of attribute elements the entry message holds, read without decoding any of them.
int32_t attribute_elements(const LDAPMessage *message) {
    BerElement reader = *message->lm_ber_elem;
    int32_t count = 0;
    if (berscan(&reader, "{x{") == -1) return 0;
    while (berscan(&reader, "x") != -1) ++count;
    return count;
}

// Fills `attribute` with `type` and copies of `values`; the values stay the caller's.
int32_t copy_attribute(HostPool *pool, const char *type, berval **values, dsatt *attribute) {
    const int32_t count = ldap_count_values_len(values);
    attribute->da_count = count;
    attribute->da_name = qor::pool_copy_text(pool, type);
    attribute->da_vals = qor::pool_new_array<dsval *>(pool, count + 1);
    if (attribute->da_name == nullptr || attribute->da_vals == nullptr) return DS_NO_MEMORY;
    for (int32_t k = 0; k < count; ++k) {
        dsval *value = qor::pool_new<dsval>(pool);
        attribute->da_vals[k] = value;
        if (value == nullptr) return DS_NO_MEMORY;
        value->dv_text = qor::pool_copy_bytes(pool, values[k]->bv_val, values[k]->bv_len);
        if (value->dv_text == nullptr) return DS_NO_MEMORY;
    }
    return DS_OK;
}

// Makes room in the entry's attribute array for the attribute after the `stored` ones. The
// array starts at 20 slots and doubles when the attribute that would fill it comes, so a null
// slot always follows the last attribute, also when building stops half-way.
bool make_room(HostPool *pool, dsent *entry, int32_t stored, int32_t *capacity) {
    if (stored + 1 < *capacity) return true;   // the 20th, 40th, 80th ... attribute doubles it
    void *grown = nullptr;
    if (wmrealc(pool, entry->de_atts, 0, &grown, 2 * *capacity * static_cast<int32_t>(sizeof(dsatt *)),
                qor::kPoolZeroFilled) != 0 ||
        grown == nullptr) {
        return false;
    }
    entry->de_atts = static_cast<dsatt **>(grown);
    *capacity *= 2;
    return true;
}

// Fills `entry` from one entry message, its attributes in the order the server sent them.
// One pass over the message reads each attribute's type and values together (looking each
// type up again would read the entry once per attribute).
int32_t copy_entry(LDAP *ld, LDAPMessage *message, dsent *entry) {
    HostPool *pool = ld->ld_pool;
    entry->de_dn = ldap_get_dn(ld, message);
    if (entry->de_dn == nullptr) return walk_failure(ld);
    int32_t capacity = kInitialAttributeSlots;
    entry->de_atts = qor::pool_new_array<dsatt *>(pool, capacity);
    if (entry->de_atts == nullptr) return DS_NO_MEMORY;

    BerElement reader = *message->lm_ber_elem;
    char type[sizeof(LDAP::ld_attr_name_buffer)];
    int32_t stored = 0;
    bool entered = berscan(&reader, "{x{") != -1;
    while (entered) {
        int32_t length = sizeof type;
        berval **values = nullptr;
        if (berscan(&reader, "{s[V]}", type, &length, &values) == -1) break;
        auto *attribute = make_room(pool, entry, stored, &capacity) ? qor::pool_new<dsatt>(pool) : nullptr;
        int32_t status = DS_NO_MEMORY;
        if (attribute != nullptr) {
            entry->de_atts[stored++] = attribute;
            status = copy_attribute(pool, type, values, attribute);
        }
        ldap_value_free_len(pool, values);
        if (status != DS_OK) return status;
    }
    // The pass ends by a failed step, which is also how an attribute that could not be read
    // shows: every attribute must have been taken.
    if (stored == attribute_elements(message)) return DS_OK;
    ld->ld_errno = LDAP_DECODING_ERROR;
    return walk_failure(ld);
}

}  // namespace

namespace qor::ds {

int32_t build_result_set(LDAP *ld, LDAPMessage *chain, int32_t count, dsent ***result) {
    HostPool *pool = ld->ld_pool;
    dsent **set = pool_new_array<dsent *>(pool, count + 1);
    if (set == nullptr) return DS_NO_MEMORY;
    int32_t i = 0;
    for (LDAPMessage *message = ldap_first_entry(ld, chain); message != nullptr && i < count;
         message = ldap_next_entry(ld, message), ++i) {
        auto *entry = pool_new<dsent>(pool);
        const int32_t status = entry != nullptr ? (set[i] = entry, copy_entry(ld, message, entry)) : DS_NO_MEMORY;
        if (status != DS_OK) {
            dsfree(ld, set);
            return status;
        }
    }
    *result = set;
    return DS_OK;
}

}  // namespace qor::ds
