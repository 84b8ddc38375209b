// Memory and byte helpers of the codec. Every block comes from a host pool (the element's
// be_pool, or the socket buffer's); the codec has no memory of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "abi/host_types.h"

namespace qor::codec {

// Release flags the pool expects: records and texts, or message and transcoding buffers.
enum class BlockKind : int32_t { kRecord = 4, kBuffer = 6 };

// The largest block a pool can be asked for.
inline constexpr size_t kMaxBlock = 0x7FFFFFFF;

// A zero-filled block of `size` bytes (at least one is asked for), or null when the pool is
// missing, the size is beyond kMaxBlock or the pool has no memory.
void *allocate(HostPool *pool, size_t size);

// Gives `block` back to `pool`; a null block is ignored.
void release(HostPool *pool, void *block, BlockKind kind);

// A new NUL-terminated copy of `length` bytes, or null.
char *copy_text(HostPool *pool, const uint8_t *bytes, size_t length);

// Number of bytes before the terminating NUL.
size_t text_length(const char *text);

// Moves `count` bytes to a lower address within one buffer (the ranges may overlap).
void move_down(uint8_t *to, const uint8_t *from, size_t count);

}  // namespace qor::codec
