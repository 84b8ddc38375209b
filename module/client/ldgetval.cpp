// The values of one attribute of an entry, found by its type (compared ignoring case), and the
// release of value arrays. Reading works on a copy of the entry's element.
#include "../host/services.h"
#include "attribute_type.h"
#include "client.h"
#include "pool.h"

namespace {

constexpr int32_t kTypeCapacity = 100;

// Positions `reader` just before the value set of the attribute `type`. False when the entry
// does not carry it or cannot be read.
bool find_attribute(HostPool *pool, BerElement *reader, const char *type) {
    const int32_t wanted = wzstlen(type);
    if (berscan(reader, "{x{") == -1) return false;
    for (;;) {
        char buffer[kTypeCapacity];
        char *spilled = nullptr;
        const char *found =
            berscan(reader, "{") != -1 ? qor::read_attribute_type(reader, buffer, kTypeCapacity, &spilled) : nullptr;
        if (found == nullptr) return false;
        const bool match = wzsteqn(type, wanted, found, wzstlen(found)) != 0;
        qor::pool_free(pool, spilled);
        if (match) return true;
        if (berscan(reader, "x}") == -1) return false;
    }
}

// The values of the entry's attribute `type`, read with `format` ("[v]" texts, "[V]" bervals)
// into a new null-terminated array; null with ld_errno set when the entry has no such attribute
// or its values cannot be read.
template <typename Value>
Value **values_of(LDAP *ld, LDAPMessage *entry, const char *type, const char *format) {
    if (entry == nullptr || entry->lm_ber_elem == nullptr || type == nullptr) {
        ld->ld_errno = LDAP_PARAM_ERROR;
        return nullptr;
    }
    BerElement reader = *entry->lm_ber_elem;
    Value **values = nullptr;
    if (!find_attribute(ld->ld_pool, &reader, type) || berscan(&reader, format, &values) == -1) {
        ld->ld_errno = LDAP_DECODING_ERROR;
        return nullptr;
    }
    return values;
}

}  // namespace

char **ldap_get_values(LDAP *ld, LDAPMessage *entry, const char *type) {
    return values_of<char>(ld, entry, type, "[v]");
}

berval **ldap_get_values_len(LDAP *ld, LDAPMessage *entry, const char *type) {
    return values_of<berval>(ld, entry, type, "[V]");
}

int32_t ldap_count_values(char **values) {
    int32_t count = 0;
    if (values != nullptr) {
        while (values[count] != nullptr) ++count;
    }
    return count;
}

int32_t ldap_count_values_len(berval **values) {
    int32_t count = 0;
    if (values != nullptr) {
        while (values[count] != nullptr) ++count;
    }
    return count;
}

void ldap_value_free(HostPool *pool, char **values) {
    if (values == nullptr) return;
    for (char **value = values; *value != nullptr; ++value) qor::pool_free(pool, *value);
    qor::pool_free(pool, values);
}

void ldap_value_free_len(HostPool *pool, berval **values) {
    if (values == nullptr) return;
    for (berval **value = values; *value != nullptr; ++value) {
        qor::pool_free(pool, (*value)->bv_val);
        qor::pool_free(pool, *value);
    }
    qor::pool_free(pool, values);
}
