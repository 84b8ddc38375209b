// Element life: allocation, emptying, duplication, release, rewinding, translators.
#include <cstring>

#include "codec.h"
#include "memory.h"

namespace qor::codec {

BerElement *allocate_element(HostPool *pool, int32_t options) {
    auto *ber = static_cast<BerElement *>(allocate(pool, sizeof(BerElement)));
    if (ber == nullptr) return nullptr;
    ber->be_pool = pool;
    ber->be_options = static_cast<uint8_t>(options);
    return ber;
}

void init_element(BerElement *ber, int32_t) {
    if (ber != nullptr) memset(ber, 0, sizeof *ber);
}

BerElement *duplicate_element(const BerElement *ber) {
    if (ber == nullptr) return nullptr;
    auto *copy = static_cast<BerElement *>(allocate(ber->be_pool, sizeof(BerElement)));
    if (copy != nullptr) memcpy(copy, ber, sizeof *copy);
    return copy;
}

void free_element(BerElement *ber, int32_t free_buffer) {
    if (ber == nullptr) return;
    HostPool *pool = ber->be_pool;
    if (free_buffer != 0) release(pool, ber->be_start, BlockKind::kBuffer);
    release(pool, ber, BlockKind::kRecord);
}

void rewind_element(BerElement *ber, int32_t) {
    if (ber == nullptr) return;
    ber->be_end = ber->be_pos;
    ber->be_pos = ber->be_start;
    ber->be_depth = 0;
    ber->be_open_chain = 0;
}

void set_translators(BerElement *ber, StringTranslator encode, StringTranslator decode) {
    if (ber == nullptr) return;
    ber->be_encode = encode;
    ber->be_decode = decode;
}

}  // namespace qor::codec
