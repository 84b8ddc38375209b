// Memory-pool handlers: every block of the module goes through the pool's own operations.
#include "frame.h"

void *vmalcp_handler(HostPool *pool, int32_t size, int32_t flags) {
    return pool->allocate(pool, size, flags);
}

void *vmalloc_handler(HostPool *pool, int32_t size, int32_t flags) {
    return pool->allocate(pool, size, flags);
}

int32_t vmfree_handler(HostPool *pool, void *block, int32_t zero, int32_t flags) {
    return pool->release(pool, block, zero, flags);
}
