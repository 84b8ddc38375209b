// The attribute walk of an entry. The iteration element is a session element that reads the
// entry's buffer from the entry's position; each step enters the next attribute, takes its type
// and skips its values. A type that fits ld_attr_name_buffer is answered there; a longer one
// (descriptions with options can be long) in ld_attr_name_spill, which the next step releases.
// The end of the list shows as a failed step, which releases the iteration element (never the
// entry's buffer).
#include "../host/services.h"
#include "attribute_type.h"
#include "client.h"
#include "pool.h"

namespace {

constexpr int32_t kTypeCapacity = sizeof(LDAP::ld_attr_name_buffer);

// One step of the walk: the next attribute's type, or null (ld_errno 84, the element released).
char *next_type(LDAP *ld, BerElement *iteration) {
    qor::pool_clear_text(ld->ld_pool, &ld->ld_attr_name_spill);
    const char *type = berscan(iteration, "{") != -1 ? qor::read_attribute_type(iteration, ld->ld_attr_name_buffer,
                                                                                kTypeCapacity, &ld->ld_attr_name_spill)
                                                     : nullptr;
    if (type == nullptr || berscan(iteration, "x}") == -1) {
        qor::pool_clear_text(ld->ld_pool, &ld->ld_attr_name_spill);
        ld->ld_errno = LDAP_DECODING_ERROR;
        berfree(iteration, qor::kKeepBuffer);
        return nullptr;
    }
    return const_cast<char *>(type);
}

}  // namespace

char *ldap_first_attribute(LDAP *ld, LDAPMessage *entry, BerElement **iteration) {
    if (iteration == nullptr) {
        ld->ld_errno = LDAP_PARAM_ERROR;
        return nullptr;
    }
    *iteration = nullptr;
    if (entry == nullptr || entry->lm_ber_elem == nullptr) {
        ld->ld_errno = LDAP_PARAM_ERROR;
        return nullptr;
    }
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) return nullptr;
    *ber = *entry->lm_ber_elem;
    if (berscan(ber, "{x{") == -1) {
        ld->ld_errno = LDAP_DECODING_ERROR;
        berfree(ber, qor::kKeepBuffer);
        return nullptr;
    }
    char *type = next_type(ld, ber);
    if (type != nullptr) *iteration = ber;
    return type;
}

char *ldap_next_attribute(LDAP *ld, LDAPMessage *, BerElement *iteration) {
    if (iteration == nullptr) {
        ld->ld_errno = LDAP_PARAM_ERROR;
        return nullptr;
    }
    return next_type(ld, iteration);
}
