// Overlap-safe byte move (source first, then destination).
#include "util.h"

void wzbmndi(const void *source, void *destination, int32_t length) {
    if (length <= 0 || source == destination) {
        return;
    }
    const auto *from = static_cast<const uint8_t *>(source);
    auto *to = static_cast<uint8_t *>(destination);
    const auto from_address = reinterpret_cast<uintptr_t>(from);
    const auto to_address = reinterpret_cast<uintptr_t>(to);
    const auto count = static_cast<uintptr_t>(length);

    if (to_address > from_address && to_address - from_address < count) {
        // The destination starts inside the source: copy from the last byte down, so that no
        // source byte is overwritten before it has been read.
        for (uintptr_t i = count; i > 0; --i) {
            to[i - 1] = from[i - 1];
        }
    } else if (from_address > to_address && from_address - to_address < count) {
        // The source starts inside the destination: first to last is safe.
        for (uintptr_t i = 0; i < count; ++i) {
            to[i] = from[i];
        }
    } else {
        __builtin_memcpy(to, from, count);
    }
}
