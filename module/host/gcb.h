// Access to the host's global control block, whose address the loader hands to mcn_main.
#pragma once

#include <cstdint>

#include "abi/host_types.h"
#include "export.h"

QOR_EXPORT uintptr_t v_global_gcb_anchor;   // address of the global control block
QOR_EXPORT uintptr_t v_global_pidb_anchor;  // host value passed on when the vector is published

namespace qor {

// Word `index` of the control block. Valid once mcn_main has run.
inline uintptr_t gcb_word(int index) {
    return reinterpret_cast<const uintptr_t *>(v_global_gcb_anchor)[index];
}

// Word `index` of the record whose address is control-block word `record`.
inline uintptr_t gcb_record_word(int record, int index) {
    return reinterpret_cast<const uintptr_t *>(gcb_word(record))[index];
}

}  // namespace qor
