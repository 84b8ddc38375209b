// Memory and byte helpers of the codec.
#include "memory.h"

#include <cstring>

namespace qor::codec {

void *allocate(HostPool *pool, size_t size) {
    if (pool == nullptr || size > kMaxBlock) return nullptr;
    if (size == 0) size = 1;
    return pool->allocate(pool, static_cast<int32_t>(size), 6);
}

void release(HostPool *pool, void *block, BlockKind kind) {
    if (pool == nullptr || block == nullptr) return;
    pool->release(pool, block, 0, static_cast<int32_t>(kind));
}

char *copy_text(HostPool *pool, const uint8_t *bytes, size_t length) {
    if (length >= kMaxBlock) return nullptr;
    char *text = static_cast<char *>(allocate(pool, length + 1));
    if (text != nullptr && length != 0) memcpy(text, bytes, length);
    return text;  // the pool's zero fill terminates it
}

size_t text_length(const char *text) {
    size_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

void move_down(uint8_t *to, const uint8_t *from, size_t count) {
    // Front to back, a word at a time: each word is read whole before it is stored, and every
    // later read lies above what has been stored, so overlapping ranges move intact.
    size_t done = 0;
    for (; count - done >= sizeof(uint64_t); done += sizeof(uint64_t)) {
        uint64_t word;
        memcpy(&word, from + done, sizeof word);
        memcpy(to + done, &word, sizeof word);
    }
    for (; done < count; ++done) to[done] = from[done];
}

}  // namespace qor::codec
