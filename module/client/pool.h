// Small helpers for the session pool: every record, text and array of the protocol client comes
// from the pool zero-filled and goes back to it. Records and texts are released with flags 0, 4;
// message and transcoding buffers with 0, 6.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../frame/frame.h"
#include "../util/util.h"

namespace qor {

inline constexpr int32_t kPoolZeroFilled = 6;
inline constexpr int32_t kReleaseRecord = 4;
inline constexpr int32_t kReleaseBuffer = 6;

// A zero-filled block of `size` bytes, or null (also for a negative size).
inline void *pool_alloc(HostPool *pool, int32_t size) {
    if (size < 0) return nullptr;
    return vmalloc_handler(pool, size, kPoolZeroFilled);
}

// One zero-filled record of type T, or null.
template <typename T>
inline T *pool_new(HostPool *pool) {
    return static_cast<T *>(pool_alloc(pool, static_cast<int32_t>(sizeof(T))));
}

// A zero-filled array of `count` T, or null when it cannot be had or its size overflows.
template <typename T>
inline T *pool_new_array(HostPool *pool, int32_t count) {
    auto elements = static_cast<size_t>(count < 0 ? 0 : count);
    if (count < 0 || elements > INT32_MAX / sizeof(T)) return nullptr;
    return static_cast<T *>(pool_alloc(pool, static_cast<int32_t>(elements * sizeof(T))));
}

// Gives a record, text or array back; null is ignored.
inline void pool_free(HostPool *pool, void *block) {
    if (block != nullptr) vmfree_handler(pool, block, 0, kReleaseRecord);
}

// Gives a message or transcoding buffer back; null is ignored.
inline void pool_free_buffer(HostPool *pool, void *block) {
    if (block != nullptr) vmfree_handler(pool, block, 0, kReleaseBuffer);
}

// Releases the text a place holds and empties the place.
inline void pool_clear_text(HostPool *pool, char **place) {
    pool_free(pool, *place);
    *place = nullptr;
}

// Overwrites `size` bytes that held a secret, in a way the compiler keeps.
inline void scrub(void *bytes, int32_t size) {
    if (bytes != nullptr && size > 0) __builtin_memset(bytes, 0, static_cast<size_t>(size));
    __asm__ __volatile__("" : : "r"(bytes) : "memory");
}

// Overwrites the secret text a place holds, releases it and empties the place.
inline void pool_clear_secret(HostPool *pool, char **place) {
    if (*place != nullptr) scrub(*place, wzstlen(*place));
    pool_clear_text(pool, place);
}

// A NUL-terminated copy of `length` bytes (the zero fill supplies the NUL), or null.
inline char *pool_copy_bytes(HostPool *pool, const char *bytes, int32_t length) {
    if (length < 0 || length == INT32_MAX) return nullptr;
    auto *copy = static_cast<char *>(pool_alloc(pool, length + 1));
    if (copy != nullptr && length > 0) __builtin_memcpy(copy, bytes, static_cast<size_t>(length));
    return copy;
}

// A copy of a NUL-terminated text, or null (also for a null text).
inline char *pool_copy_text(HostPool *pool, const char *text) {
    if (text == nullptr) return nullptr;
    return pool_copy_bytes(pool, text, wzstlen(text));
}

}  // namespace qor
