// Request dispatch: BER elements prepared for the session.
#include "../host/services.h"
#include "client.h"

BerElement *alloc_ber_with_options(LDAP *ld) {
    BerElement *ber = berallt(ld->ld_pool, ld->ld_ber_options);
    if (ber == nullptr) {
        ld->ld_errno = LDAP_NO_MEMORY;
        return nullptr;
    }
    set_ber_options(ld, ber);
    return ber;
}

void set_ber_options(LDAP *ld, BerElement *ber) {
    ber->be_pool = ld->ld_pool;
    ber->be_options = ld->ld_ber_options;
    if ((ld->ld_ber_options & LBER_TRANSLATE_STRINGS) != 0) {
        bersstt(ber, ld->ld_encode_translator, ld->ld_decode_translator);
    }
}
