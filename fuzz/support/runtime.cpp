// The platform runtime for the fuzz programs.
#include "fuzz/support/runtime.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "qorldap/qorldap.h"

namespace qorfuzz {

namespace {

// Host module 0's entry that destroys a pool.
constexpr int kPoolDestroyEntry = 113;

using PoolDestroy = int32_t (*)(HostPool *pool);

PoolDestroy runtime_pool_destroy = nullptr;
// The pool free_session() is releasing; its destruction must find it empty.
const HostPool *pool_expected_empty = nullptr;

// Stands in front of the runtime's pool destruction while the program runs.
int32_t checked_pool_destroy(HostPool *pool) {
    if (pool != nullptr && pool == pool_expected_empty) {
        pool_expected_empty = nullptr;
        qorhost_pool_stats stats{};
        if (qorhost_pool_stats_of(pool, &stats) == 0 && stats.live_blocks != 0) {
            fail("session pool destroyed with %ld blocks (%ld bytes) still allocated: lost while the session was used",
                 stats.live_blocks, stats.live_bytes);
        }
    }
    return runtime_pool_destroy(pool);
}

}  // namespace

void fail(const char *format, ...) {
    std::fputs("qorfuzz: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

LDAP *open_to_peer(std::uint16_t port) {
    constexpr int kAttempts = 5;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (LDAP *ld = ldap_open("127.0.0.1", port)) {
            ld->ld_option_flags |= OPT_NO_RECONNECT;   // the peer serves one connection per input
            return ld;
        }
    }
    fail("ldap_open to the peer on port %u failed %d times", static_cast<unsigned>(port), kAttempts);
}

void start_runtime(int io_limit_ms) {
    static bool started = false;
    if (started) return;
    started = true;
    qorhost_start();
    // The host log would report every refused connection and transcoding of the run.
    qorhost_set_log("/dev/null");
    qorhost_set_read_timeout_ms(io_limit_ms);
    qorhost_set_connect_timeout_ms(io_limit_ms);
    const int status = qorhost_load(QOR_MODULE_DIR "/qorldap.so");
    if (status != 0 || qorhost_vector(QORLDAP_CODEC_MODULE) == nullptr) {
        fail("cannot load %s/qorldap.so with its codec (status %d)", QOR_MODULE_DIR, status);
    }
    void **pools = qorhost_vector(0);
    runtime_pool_destroy = reinterpret_cast<PoolDestroy>(pools[kPoolDestroyEntry]);
    pools[kPoolDestroyEntry] = reinterpret_cast<void *>(&checked_pool_destroy);
}

HostPool *program_pool() {
    static HostPool *pool = [] {
        HostPool *made = nullptr;
        if (wmtpc(&made, 4096, 1024, 258, 0) != 0 || made == nullptr) fail("cannot make the program's pool");
        return made;
    }();
    return pool;
}

long live_blocks(const void *pool) {
    qorhost_pool_stats stats{};
    if (qorhost_pool_stats_of(pool, &stats) != 0) fail("%p is not a live pool", pool);
    return stats.live_blocks;
}

void end_session(LDAP *ld, void (*end)(LDAP *ld)) {
    if (ld == nullptr) return;
    pool_expected_empty = ld->ld_pool;
    end(ld);
    if (pool_expected_empty != nullptr) fail("ending the session did not destroy its pool");
}

void free_session(LDAP *ld) {
    end_session(ld, [](LDAP *session) { ldap_ld_free(session, 0); });
}

AllocationFaults::AllocationFaults(long nth, bool persistent) {
    if (nth > 0) qorhost_fail_allocation(nth, persistent ? 1 : 0);
}

AllocationFaults::~AllocationFaults() { qorhost_fail_reset(); }

}  // namespace qorfuzz
