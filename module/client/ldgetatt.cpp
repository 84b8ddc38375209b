// The attribute walk of an entry. The iteration element is a session element that reads the
// entry's buffer from the entry's position; each step enters the next attribute, takes its type
// into ld_attr_name_buffer and skips its values. The end of the list shows as a failed step,
// which releases the iteration element (never the entry's buffer).
#include "../host/services.h"
#include "client.h"

namespace {

constexpr int32_t kTypeCapacity = sizeof(LDAP::ld_attr_name_buffer);

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

    int32_t length = kTypeCapacity;
    if (berscan(ber, "{x{{sx}", ld->ld_attr_name_buffer, &length) == -1) {
        ld->ld_errno = LDAP_DECODING_ERROR;
        berfree(ber, 0);
        return nullptr;
    }
    *iteration = ber;
    return ld->ld_attr_name_buffer;
}

char *ldap_next_attribute(LDAP *ld, LDAPMessage *, BerElement *iteration) {
    if (iteration == nullptr) {
        ld->ld_errno = LDAP_PARAM_ERROR;
        return nullptr;
    }
    int32_t length = kTypeCapacity;
    if (berscan(iteration, "{sx}", ld->ld_attr_name_buffer, &length) == -1) {
        ld->ld_errno = LDAP_DECODING_ERROR;
        berfree(iteration, 0);
        return nullptr;
    }
    return ld->ld_attr_name_buffer;
}
