// String translation through the element's translators.
#include "translate.h"

#include <cstring>

#include "memory.h"

namespace qor::codec {

bool translate(HostPool *pool, StringTranslator translator, const uint8_t *bytes, uint32_t length, Translated *out) {
    if (length >= kMaxBlock) return false;
    auto *copy = static_cast<uint8_t *>(allocate(pool, length + 1));
    if (copy == nullptr) return false;
    if (length != 0) memcpy(copy, bytes, length);
    int32_t translated_length = static_cast<int32_t>(length);
    // A translator that fails has consumed the copy and left no buffer behind.
    if (translator(pool, &copy, &translated_length, 1) != 0 || copy == nullptr) return false;
    if (translated_length < 0) {
        release(pool, copy, BlockKind::kBuffer);
        return false;
    }
    out->bytes = copy;
    out->length = static_cast<uint32_t>(translated_length);
    return true;
}

}  // namespace qor::codec
