// Memory pools. A pool hands out zero-filled blocks and takes them back; destroying it releases
// every block still in it. Each block carries a header naming its pool and state, so releasing a
// block twice, into the wrong pool, or after the pool is gone stops the process with a message
// instead of corrupting memory.
//
// Default build: small blocks (up to 4 KiB) come from per-pool chunks, recycled through per-size
// free lists, which keeps the many small allocations of a directory lookup cheap; larger blocks
// are separate heap allocations on a list. Sanitizer build (QOR_SANITIZE): every block is its own
// heap allocation of exactly header + size bytes, so the sanitizer sees every overrun, and the
// pool tracks its blocks in sets instead of trusting headers.
//
// A pool is used by one thread at a time; creation, destruction and the registry of pools are
// locked. Pool objects are never returned to the heap: a destroyed pool keeps trapping callers
// until it is recycled, after a quarantine of many later destructions.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_set>

#include "control_block.h"
#include "fault_injection.h"
#include "host_types.h"
#include "qorldap/qorhost.h"
#include "services.h"
#include "status.h"

namespace qorhost {
namespace {

constexpr uint32_t kPoolLive = 0x504F4F4Cu;
constexpr uint32_t kPoolDead = 0x44454144u;
constexpr uint16_t kBlockLive = 0xB10Cu;
constexpr uint16_t kBlockFree = 0xF4EEu;
constexpr uint16_t kBigClass = 0xFFFFu;
constexpr size_t kQuarantine = 1024;

struct Pool;

// Precedes every block; 16 bytes in both word widths, so blocks stay 16-byte aligned.
struct alignas(16) BlockHeader {
    Pool *owner;
    uint32_t size;         // size the caller asked for
    uint16_t size_class;   // kBigClass: a separate heap allocation
    uint16_t state;        // kBlockLive or kBlockFree
};
static_assert(sizeof(BlockHeader) == 16);

#if defined(QOR_SANITIZE)
constexpr bool kSeparateBlocks = true;
#else
constexpr bool kSeparateBlocks = false;
#endif

// Size classes of chunk blocks: 16-byte steps up to 512, then 768, 1024, 2048, 4096.
constexpr int kClassCount = 36;
constexpr uint32_t kLargestClassed = 4096;

constexpr uint32_t class_capacity(int size_class) {
    constexpr uint32_t kUpper[] = {768, 1024, 2048, 4096};
    return size_class < 32 ? 16u * static_cast<uint32_t>(size_class + 1) : kUpper[size_class - 32];
}

inline int class_of(uint32_t size) {
    if (size <= 512) {
        return size == 0 ? 0 : static_cast<int>((size - 1) / 16);
    }
    return size <= 768 ? 32 : size <= 1024 ? 33 : size <= 2048 ? 34 : 35;
}

// Links of a separately allocated block, placed before its header.
struct alignas(16) BigLink {
    BigLink *prev;
    BigLink *next;
};

struct Chunk {
    Chunk *next;
};
constexpr size_t kChunkHeader = 16;
constexpr size_t kFirstChunk = 8 * 1024;
constexpr size_t kLargestChunk = 256 * 1024;

// Block sets of the sanitizer build.
struct Tracking {
    std::unordered_set<BlockHeader *> live;
    std::unordered_set<const void *> released;
};

struct Pool {
    HostPool ops;   // first: the module calls word 0 and word 1
    uint32_t magic;
    qorhost_pool_stats stats;
    void *free_lists[kClassCount];   // free chunk blocks; each holds the next in its first word
    Chunk *chunks;
    char *bump;
    char *bump_end;
    size_t next_chunk;
    BigLink big;                     // circular list of separately allocated blocks
    Tracking *tracking;              // sanitizer build only
};

// The registries are never destroyed: pools may outlive static destruction (a host program that
// exits with sessions open), and the pools they hold stay reachable for the leak checker.
std::mutex registry_lock;
std::unordered_set<const Pool *> &live_pools = *new std::unordered_set<const Pool *>;  // guarded by registry_lock
std::deque<Pool *> &quarantine = *new std::deque<Pool *>;  // destroyed pools; guarded by registry_lock
long live_pool_count = 0;                       // guarded by registry_lock

[[noreturn]] void misuse(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::fputs("qorhost: pool misuse: ", stderr);
    std::vfprintf(stderr, format, arguments);
    std::fputs("\n", stderr);
    va_end(arguments);
    std::abort();
}

bool pool_is_live(const Pool *pool) {
    std::lock_guard lock(registry_lock);
    return live_pools.count(pool) != 0;
}

// Heap memory aligned for block headers, whatever the allocator's own guarantee (a checking
// allocator may give 8-byte alignment on i386, where glibc gives 16); released with std::free.
// The size is kept exact so that the sanitizer still sees an overrun of a separate block.
void *aligned_heap(size_t size) {
    void *memory = nullptr;
    return posix_memalign(&memory, alignof(BlockHeader), size) == 0 ? memory : nullptr;
}

inline Pool *as_pool(HostPool *pool) { return reinterpret_cast<Pool *>(pool); }
inline BlockHeader *header_of(void *block) { return static_cast<BlockHeader *>(block) - 1; }
inline void *payload_of(BlockHeader *header) { return header + 1; }
inline BigLink *link_of(BlockHeader *header) { return reinterpret_cast<BigLink *>(header) - 1; }

void account_allocation(Pool *pool, uint32_t size) {
    qorhost_pool_stats &s = pool->stats;
    ++s.live_blocks;
    ++s.allocations;
    s.live_bytes += size;
    if (s.live_bytes > s.peak_bytes) {
        s.peak_bytes = s.live_bytes;
    }
}

void account_resize(Pool *pool, uint32_t from, uint32_t to) {
    qorhost_pool_stats &s = pool->stats;
    s.live_bytes += static_cast<long>(to) - static_cast<long>(from);
    if (s.live_bytes > s.peak_bytes) {
        s.peak_bytes = s.live_bytes;
    }
}

// A block outside the chunks: [BigLink][BlockHeader][size bytes], zero-filled.
BlockHeader *allocate_separate(Pool *pool, uint32_t size) {
    const size_t prefix = kSeparateBlocks ? 0 : sizeof(BigLink);
    const size_t total = prefix + sizeof(BlockHeader) + size;
    void *memory = aligned_heap(total);
    if (memory == nullptr) {
        return nullptr;
    }
    std::memset(memory, 0, total);
    auto *header = reinterpret_cast<BlockHeader *>(static_cast<char *>(memory) + prefix);
    header->size_class = kBigClass;
    if (kSeparateBlocks) {
        pool->tracking->live.insert(header);
        pool->tracking->released.erase(payload_of(header));
    } else {
        BigLink *link = link_of(header);
        link->next = pool->big.next;
        link->prev = &pool->big;
        pool->big.next->prev = link;
        pool->big.next = link;
    }
    return header;
}

void release_separate(Pool *pool, BlockHeader *header) {
    if (kSeparateBlocks) {
        pool->tracking->live.erase(header);
        pool->tracking->released.insert(payload_of(header));
        std::free(header);
    } else {
        BigLink *link = link_of(header);
        link->prev->next = link->next;
        link->next->prev = link->prev;
        header->state = kBlockFree;
        std::free(link);
    }
}

// A chunk block of `size_class`, from its free list or the current chunk; not zero-filled.
BlockHeader *allocate_classed(Pool *pool, int size_class) {
    if (void *free_block = pool->free_lists[size_class]) {
        pool->free_lists[size_class] = *static_cast<void **>(free_block);
        return header_of(free_block);
    }
    const size_t needed = sizeof(BlockHeader) + class_capacity(size_class);
    if (static_cast<size_t>(pool->bump_end - pool->bump) < needed) {
        const size_t chunk_size = pool->next_chunk;
        auto *chunk = static_cast<Chunk *>(aligned_heap(chunk_size));
        if (chunk == nullptr) {
            return nullptr;
        }
        chunk->next = pool->chunks;
        pool->chunks = chunk;
        pool->bump = reinterpret_cast<char *>(chunk) + kChunkHeader;
        pool->bump_end = reinterpret_cast<char *>(chunk) + chunk_size;
        if (pool->next_chunk < kLargestChunk) {
            pool->next_chunk *= 2;
        }
    }
    auto *header = reinterpret_cast<BlockHeader *>(pool->bump);
    pool->bump += needed;
    header->size_class = static_cast<uint16_t>(size_class);
    return header;
}

// A zero-filled block of `size` bytes, counted in the stats; null when the heap is exhausted.
void *allocate_block(Pool *pool, uint32_t size) {
    BlockHeader *header;
    if (kSeparateBlocks || size > kLargestClassed) {
        header = allocate_separate(pool, size);
    } else {
        header = allocate_classed(pool, class_of(size));
        if (header != nullptr) {
            std::memset(payload_of(header), 0, size);
        }
    }
    if (header == nullptr) {
        return nullptr;
    }
    header->owner = pool;
    header->size = size;
    header->state = kBlockLive;
    account_allocation(pool, size);
    return payload_of(header);
}

// Stops the process unless `block` is a live block of `pool`.
void check_block(Pool *pool, void *block) {
    if (reinterpret_cast<uintptr_t>(block) % alignof(BlockHeader) != 0) {
        misuse("%p is not a block of pool %p", block, static_cast<void *>(pool));
    }
    BlockHeader *header = header_of(block);
    if (kSeparateBlocks) {
        if (pool->tracking->live.count(header) != 0) {
            return;
        }
        if (pool->tracking->released.count(block) != 0) {
            misuse("block %p released twice into pool %p", block, static_cast<void *>(pool));
        }
        std::lock_guard lock(registry_lock);
        for (const Pool *other : live_pools) {
            if (other->tracking->live.count(header) != 0) {
                misuse("block %p belongs to pool %p, not to pool %p", block, static_cast<const void *>(other),
                       static_cast<void *>(pool));
            }
        }
        misuse("%p is not a block of pool %p", block, static_cast<void *>(pool));
    }
    if (header->owner == pool && header->state == kBlockLive) {
        return;
    }
    if (header->owner == pool && header->state == kBlockFree) {
        misuse("block %p released twice into pool %p", block, static_cast<void *>(pool));
    }
    if (header->state == kBlockLive && pool_is_live(header->owner)) {
        misuse("block %p belongs to pool %p, not to pool %p", block, static_cast<void *>(header->owner),
               static_cast<void *>(pool));
    }
    misuse("%p is not a block of pool %p", block, static_cast<void *>(pool));
}

// Returns a checked block to its pool.
void release_block(Pool *pool, void *block) {
    BlockHeader *header = header_of(block);
    --pool->stats.live_blocks;
    pool->stats.live_bytes -= header->size;
    if (header->size_class == kBigClass) {
        release_separate(pool, header);
        return;
    }
    header->state = kBlockFree;
    *static_cast<void **>(block) = pool->free_lists[header->size_class];
    pool->free_lists[header->size_class] = block;
}

void check_pool(Pool *pool) {
    if (pool->magic != kPoolLive) {
        misuse("pool %p used after it was destroyed", static_cast<void *>(pool));
    }
}

// The pool's word 0: allocate(pool, size, flags), a zero-filled block or null.
void *pool_allocate(HostPool *host_pool, int32_t size, int32_t) {
    Pool *pool = as_pool(host_pool);
    check_pool(pool);
    if (size < 0 || allocation_should_fail()) {
        return nullptr;
    }
    return allocate_block(pool, static_cast<uint32_t>(size));
}

// The pool's word 1: release(pool, block, 0, flags); a null block is nothing to release.
int32_t pool_release(HostPool *host_pool, void *block, int32_t, int32_t) {
    Pool *pool = as_pool(host_pool);
    check_pool(pool);
    if (block == nullptr) {
        return 0;
    }
    check_block(pool, block);
    release_block(pool, block);
    return 0;
}

[[noreturn]] void *destroyed_allocate(HostPool *pool, int32_t, int32_t) {
    misuse("allocation from pool %p after it was destroyed", static_cast<void *>(pool));
}

[[noreturn]] int32_t destroyed_release(HostPool *pool, void *block, int32_t, int32_t) {
    misuse("block %p released into pool %p after the pool was destroyed", block, static_cast<void *>(pool));
}

void reset(Pool *pool) {
    std::memset(static_cast<void *>(pool), 0, sizeof *pool);
    pool->ops.allocate = &pool_allocate;
    pool->ops.release = &pool_release;
    pool->magic = kPoolLive;
    pool->next_chunk = kFirstChunk;
    pool->big.next = &pool->big;
    pool->big.prev = &pool->big;
}

// Frees everything a pool holds; the pool object itself stays.
void release_everything(Pool *pool) {
    if (kSeparateBlocks) {
        for (BlockHeader *header : pool->tracking->live) {
            std::free(header);
        }
        delete pool->tracking;
        pool->tracking = nullptr;
        return;
    }
    for (Chunk *chunk = pool->chunks; chunk != nullptr;) {
        Chunk *next = chunk->next;
        std::free(chunk);
        chunk = next;
    }
    for (BigLink *link = pool->big.next; link != &pool->big;) {
        BigLink *next = link->next;
        std::free(link);
        link = next;
    }
}

}  // namespace

int32_t wmtpc_service(HostPool **out, int32_t, int32_t, int32_t, uintptr_t) {
    ensure_started();
    if (out == nullptr) {
        return status(kStatusBadArgument);
    }
    if (allocation_should_fail()) {
        return status(kStatusNoMemory);
    }
    std::lock_guard lock(registry_lock);
    Pool *pool;
    if (quarantine.size() >= kQuarantine) {
        pool = quarantine.front();
        quarantine.pop_front();
    } else {
        pool = static_cast<Pool *>(aligned_heap(sizeof(Pool)));
        if (pool == nullptr) {
            return status(kStatusNoMemory);
        }
    }
    reset(pool);
    if (kSeparateBlocks) {
        pool->tracking = new (std::nothrow) Tracking;
        if (pool->tracking == nullptr) {
            std::free(pool);
            return status(kStatusNoMemory);
        }
    }
    live_pools.insert(pool);
    ++live_pool_count;
    *out = &pool->ops;
    return 0;
}

int32_t wmpoold_service(HostPool *host_pool) {
    if (host_pool == nullptr) {
        return status(kStatusBadArgument);
    }
    Pool *pool = as_pool(host_pool);
    std::lock_guard lock(registry_lock);
    if (live_pools.erase(pool) == 0) {
        if (pool->magic == kPoolDead) {
            misuse("pool %p destroyed twice", static_cast<void *>(pool));
        }
        misuse("%p is not a pool", static_cast<void *>(pool));
    }
    release_everything(pool);
    pool->magic = kPoolDead;
    pool->ops.allocate = &destroyed_allocate;
    pool->ops.release = &destroyed_release;
    quarantine.push_back(pool);
    --live_pool_count;
    return 0;
}

int32_t wmrealc_service(HostPool *host_pool, void *block, int32_t, void **grown, int32_t size, int32_t) {
    if (host_pool == nullptr || grown == nullptr || size < 0) {
        return status(kStatusBadArgument);
    }
    Pool *pool = as_pool(host_pool);
    check_pool(pool);
    if (block != nullptr) {
        check_block(pool, block);
    }
    if (allocation_should_fail()) {
        return status(kStatusNoMemory);
    }
    const auto new_size = static_cast<uint32_t>(size);
    if (block == nullptr) {
        void *fresh = allocate_block(pool, new_size);
        if (fresh == nullptr) {
            return status(kStatusNoMemory);
        }
        *grown = fresh;
        return 0;
    }
    BlockHeader *header = header_of(block);
    const uint32_t old_size = header->size;
    if (header->size_class != kBigClass && new_size <= class_capacity(header->size_class)) {
        if (new_size > old_size) {
            std::memset(static_cast<char *>(block) + old_size, 0, new_size - old_size);
        }
        header->size = new_size;
        account_resize(pool, old_size, new_size);
        *grown = block;
        return 0;
    }
    void *fresh = allocate_block(pool, new_size);
    if (fresh == nullptr) {
        return status(kStatusNoMemory);
    }
    std::memcpy(fresh, block, old_size < new_size ? old_size : new_size);
    release_block(pool, block);
    *grown = fresh;
    return 0;
}

}  // namespace qorhost

extern "C" int qorhost_pool_stats_of(const void *pool, qorhost_pool_stats *stats) {
    using namespace qorhost;
    if (stats == nullptr) {
        return -1;
    }
    std::lock_guard lock(registry_lock);
    const auto *candidate = static_cast<const Pool *>(pool);
    if (live_pools.count(candidate) == 0) {
        return -1;
    }
    *stats = candidate->stats;
    return 0;
}

extern "C" long qorhost_live_pools(void) {
    std::lock_guard lock(qorhost::registry_lock);
    return qorhost::live_pool_count;
}
