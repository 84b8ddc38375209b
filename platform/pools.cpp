// Memory pools. A pool hands out zero-filled blocks and takes them back; destroying it releases
// every block still in it. Each block carries a header naming its pool and state, so releasing a
// block twice, into the wrong pool, or after the pool is gone stops the process with a message
// instead of corrupting memory, in every build.
//
// Default build: blocks up to 16 KiB come from per-pool chunks, recycled through per-class free
// lists, which keeps the many small allocations of a directory lookup cheap: an allocation pops
// a list or bumps a pointer, a release checks the header and pushes. The header is 8 bytes and
// the classes step by 8 bytes up to 128 and by an eighth above, so small records stay dense.
// Chunks come zero-filled from the heap, so a block cut from a chunk for the first time needs no
// clearing; a recycled one is cleared to the size asked for. Larger blocks are separate heap
// allocations on a list. Sanitizer build (QOR_SANITIZE): every block is its own heap allocation
// ending exactly at its last byte, so the sanitizer sees every overrun, and the pool tracks its
// blocks in sets instead of trusting headers.
//
// A pool is used by one thread at a time; creation, destruction and the registry of pools are
// locked. Pool objects are never returned to the heap: a destroyed pool keeps trapping callers
// until it is recycled, after a quarantine of many later destructions, with a new tag, so that
// blocks of its earlier life are not taken for its own.
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
#include "abi/host_types.h"
#include "qorldap/qorhost.h"
#include "services.h"
#include "status.h"

namespace qorhost {
namespace {

constexpr uint32_t kPoolLive = 0x504F4F4Cu;
constexpr uint32_t kPoolDead = 0x44454144u;
constexpr uint8_t kBlockLive = 0xB1u;
constexpr uint8_t kBlockFree = 0xF4u;
constexpr uint8_t kBigClass = 0xFFu;
constexpr size_t kQuarantine = 1024;
constexpr size_t kAlignment = 8;  // enough for every scalar the module and the codec store

struct Pool;

// Precedes every block; 8 bytes in both word widths. Whole fields rather than bit fields, so that
// a release reads each exactly as the allocation wrote it.
struct BlockHeader {
    uint32_t owner;      // tag of the pool
    uint16_t size;       // size the caller asked for (chunk blocks; big blocks keep it in their link)
    uint8_t size_class;  // kBigClass: a separate heap allocation
    uint8_t state;       // kBlockLive or kBlockFree
};
static_assert(sizeof(BlockHeader) == kAlignment);

#if defined(QOR_SANITIZE)
constexpr bool kSeparateBlocks = true;
#else
constexpr bool kSeparateBlocks = false;
#endif

// Size classes of chunk blocks: 8-byte steps up to 128 bytes (16 classes), then eight steps in
// each doubling up to 16 KiB (7 doublings), so no block above 128 bytes wastes more than an
// eighth of itself.
constexpr int kFineClasses = 16;
constexpr uint32_t kFineLimit = 128;
constexpr int kClassCount = kFineClasses + 7 * 8;
constexpr uint32_t kLargestClassed = 16384;

constexpr uint32_t compute_capacity(int size_class) {
    if (size_class < kFineClasses) return 8u * static_cast<uint32_t>(size_class + 1);
    const int doubling = (size_class - kFineClasses) / 8;
    const int step = (size_class - kFineClasses) % 8;
    const uint32_t base = kFineLimit << doubling;
    return base + static_cast<uint32_t>(step + 1) * (base / 8);
}

struct CapacityTable {
    uint32_t of[kClassCount];
    constexpr CapacityTable() : of{} {
        for (int c = 0; c < kClassCount; ++c) of[c] = compute_capacity(c);
    }
};
constexpr CapacityTable kCapacity;
static_assert(kCapacity.of[kClassCount - 1] == kLargestClassed);
static_assert(kLargestClassed <= UINT16_MAX && kClassCount < kBigClass);

inline uint32_t class_capacity(int size_class) {
    return kCapacity.of[size_class];
}

// The smallest class that holds `size` bytes (at most kLargestClassed).
inline int class_of(uint32_t size) {
    if (size <= kFineLimit) return size == 0 ? 0 : static_cast<int>((size - 1) >> 3);
    const int top = 31 - __builtin_clz(size - 1);  // 2^top < size <= 2^(top+1), top >= 7
    return kFineClasses + (top - 7) * 8 + static_cast<int>((size - 1 - (1u << top)) >> (top - 3));
}

// Precedes the header of a separately allocated block: its place on the pool's list (default
// build) and its size.
struct alignas(kAlignment) BigLink {
    BigLink *prev;
    BigLink *next;
    size_t size;
};

struct Chunk {
    Chunk *next;
};
constexpr size_t kChunkHeader = kAlignment;
static_assert(sizeof(Chunk) <= kChunkHeader);
constexpr size_t kFirstChunk = 8 * 1024;
constexpr size_t kLargestChunk = 256 * 1024;

// Block sets of the sanitizer build.
struct Tracking {
    std::unordered_set<BlockHeader *> live;
    std::unordered_set<const void *> released;
};

struct Pool {
    HostPool ops;  // first: the module calls word 0 and word 1
    uint32_t magic;
    uint32_t tag;  // owner word of this life's blocks; never 0
    qorhost_pool_stats stats;
    void *free_lists[kClassCount];  // free chunk blocks; each holds the next in its first word
    Chunk *chunks;
    char *bump;
    char *bump_end;
    size_t next_chunk;
    BigLink big;         // circular list of separately allocated blocks
    Tracking *tracking;  // sanitizer build only
};

// The registries are never destroyed: pools may outlive static destruction (a host program that
// exits with sessions open), and the pools they hold stay reachable for the leak checker.
std::mutex registry_lock;
std::unordered_set<const Pool *> &live_pools = *new std::unordered_set<const Pool *>;  // guarded by registry_lock
std::deque<Pool *> &quarantine = *new std::deque<Pool *>;  // destroyed pools; guarded by registry_lock
long live_pool_count = 0;                                  // guarded by registry_lock
uint32_t last_tag = 0;                                     // guarded by registry_lock

[[noreturn]] void misuse(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::fputs("qorhost: pool misuse: ", stderr);
    std::vfprintf(stderr, format, arguments);
    std::fputs("\n", stderr);
    va_end(arguments);
    std::abort();
}

// The live pool whose blocks carry `tag`, or null.
const Pool *live_pool_tagged(uint32_t tag) {
    std::lock_guard lock(registry_lock);
    for (const Pool *pool : live_pools) {
        if (pool->tag == tag) return pool;
    }
    return nullptr;
}

inline Pool *as_pool(HostPool *pool) {
    return reinterpret_cast<Pool *>(pool);
}
inline BlockHeader *header_of(void *block) {
    return static_cast<BlockHeader *>(block) - 1;
}
inline void *payload_of(BlockHeader *header) {
    return header + 1;
}
inline BigLink *link_of(BlockHeader *header) {
    return reinterpret_cast<BigLink *>(header) - 1;
}

inline uint32_t size_of(BlockHeader *header) {
    return header->size_class == kBigClass ? static_cast<uint32_t>(link_of(header)->size) : header->size;
}

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
    auto *link = static_cast<BigLink *>(std::calloc(1, sizeof(BigLink) + sizeof(BlockHeader) + size));
    if (link == nullptr) {
        return nullptr;
    }
    link->size = size;
    auto *header = reinterpret_cast<BlockHeader *>(link + 1);
    header->owner = pool->tag;
    header->size_class = kBigClass;
    header->state = kBlockLive;
    if (kSeparateBlocks) {
        pool->tracking->live.insert(header);
        pool->tracking->released.erase(payload_of(header));
    } else {
        link->next = pool->big.next;
        link->prev = &pool->big;
        pool->big.next->prev = link;
        pool->big.next = link;
    }
    return header;
}

void release_separate(Pool *pool, BlockHeader *header) {
    BigLink *link = link_of(header);
    if (kSeparateBlocks) {
        pool->tracking->live.erase(header);
        pool->tracking->released.insert(payload_of(header));
    } else {
        link->prev->next = link->next;
        link->next->prev = link->prev;
        header->state = kBlockFree;
    }
    std::free(link);
}

// Cuts a block of `size_class` from the current chunk, or from a new one; its bytes are zero.
BlockHeader *cut_from_chunk(Pool *pool, int size_class) {
    const size_t needed = sizeof(BlockHeader) + class_capacity(size_class);
    if (static_cast<size_t>(pool->bump_end - pool->bump) < needed) {
        const size_t chunk_size = needed + kChunkHeader > pool->next_chunk ? needed + kChunkHeader : pool->next_chunk;
        auto *chunk = static_cast<Chunk *>(std::calloc(1, chunk_size));
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
    header->owner = pool->tag;  // a chunk block keeps its owner and class for the pool's life
    header->size_class = static_cast<uint8_t>(size_class);
    return header;
}

// A zero-filled chunk block of `size` bytes (at most kLargestClassed), or null.
inline BlockHeader *allocate_classed(Pool *pool, uint32_t size) {
    const int size_class = class_of(size);
    BlockHeader *header;
    if (void *free_block = pool->free_lists[size_class]) {
        void *next = *static_cast<void **>(free_block);
        pool->free_lists[size_class] = next;
        // The class's next allocation takes `next`: its line can arrive in the meantime, rather
        // than stall that allocation (a large result set releases far more than the caches hold).
        __builtin_prefetch(next, 1);
        std::memset(free_block, 0, size);
        header = header_of(free_block);
    } else {
        header = cut_from_chunk(pool, size_class);
        if (header == nullptr) {
            return nullptr;
        }
    }
    header->size = static_cast<uint16_t>(size);
    header->state = kBlockLive;
    return header;
}

// A zero-filled block of `size` bytes, counted in the stats; null when the heap is exhausted.
void *allocate_block(Pool *pool, uint32_t size) {
    BlockHeader *header =
        kSeparateBlocks || size > kLargestClassed ? allocate_separate(pool, size) : allocate_classed(pool, size);
    if (header == nullptr) {
        return nullptr;
    }
    account_allocation(pool, size);
    return payload_of(header);
}

// Stops the process, saying what is wrong with `block`, which is not a live block of `pool`.
[[noreturn]] void report_bad_block(Pool *pool, void *block) {
    if (reinterpret_cast<uintptr_t>(block) % kAlignment != 0) {
        misuse("%p is not a block of pool %p", block, static_cast<void *>(pool));
    }
    const BlockHeader *header = header_of(block);
    if (kSeparateBlocks) {
        if (pool->tracking->released.count(block) != 0) {
            misuse("block %p released twice into pool %p", block, static_cast<void *>(pool));
        }
        std::lock_guard lock(registry_lock);
        for (const Pool *other : live_pools) {
            if (other->tracking->live.count(header_of(block)) != 0) {
                misuse("block %p belongs to pool %p, not to pool %p", block, static_cast<const void *>(other),
                       static_cast<void *>(pool));
            }
        }
        misuse("%p is not a block of pool %p", block, static_cast<void *>(pool));
    }
    if (header->owner == pool->tag && header->state == kBlockFree) {
        misuse("block %p released twice into pool %p", block, static_cast<void *>(pool));
    }
    if (header->state == kBlockLive && header->owner != pool->tag) {
        if (const Pool *owner = live_pool_tagged(header->owner)) {
            misuse("block %p belongs to pool %p, not to pool %p", block, static_cast<const void *>(owner),
                   static_cast<void *>(pool));
        }
    }
    misuse("%p is not a block of pool %p", block, static_cast<void *>(pool));
}

// Stops the process unless `block` is a live block of `pool`. The common case reads the header
// only: no lock, no search. The sanitizer build asks its sets instead.
inline void check_block(Pool *pool, void *block) {
    if (kSeparateBlocks) {
        if (reinterpret_cast<uintptr_t>(block) % kAlignment != 0 || pool->tracking->live.count(header_of(block)) == 0) {
            report_bad_block(pool, block);
        }
        return;
    }
    if (reinterpret_cast<uintptr_t>(block) % kAlignment != 0) {
        report_bad_block(pool, block);
    }
    const BlockHeader *header = header_of(block);
    if (header->owner != pool->tag || header->state != kBlockLive) {
        report_bad_block(pool, block);
    }
}

// Returns a checked block to its pool.
void release_block(Pool *pool, void *block) {
    BlockHeader *header = header_of(block);
    --pool->stats.live_blocks;
    pool->stats.live_bytes -= size_of(header);
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
    pool->tag = ++last_tag != 0 ? last_tag : ++last_tag;
    pool->next_chunk = kFirstChunk;
    pool->big.next = &pool->big;
    pool->big.prev = &pool->big;
}

// Frees everything a pool holds; the pool object itself stays.
void release_everything(Pool *pool) {
    if (kSeparateBlocks) {
        for (BlockHeader *header : pool->tracking->live) {
            std::free(link_of(header));
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
        pool = static_cast<Pool *>(std::malloc(sizeof(Pool)));
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
    const uint32_t old_size = size_of(header);
    if (header->size_class != kBigClass && new_size <= class_capacity(header->size_class)) {
        if (new_size > old_size) {
            std::memset(static_cast<char *>(block) + old_size, 0, new_size - old_size);
        }
        header->size = static_cast<uint16_t>(new_size);
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
