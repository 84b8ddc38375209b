// String translation between the host's text and the wire's, applied to every string the codec
// writes or reads when the element carries translators (bersstt).
#pragma once

#include <cstdint>

#include "abi/host_types.h"

namespace qor::codec {

// A translated string: a pool block and its length. The block belongs to the caller, who
// gives it back with release(..., BlockKind::kBuffer).
struct Translated {
    uint8_t *bytes;
    uint32_t length;
};

// Runs `translator` on a pool copy of `length` bytes (the translator consumes the copy). False
// when the copy or the translator's output cannot be had; nothing is left allocated then.
bool translate(HostPool *pool, StringTranslator translator, const uint8_t *bytes, uint32_t length, Translated *out);

}  // namespace qor::codec
