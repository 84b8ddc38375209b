// Loads the directory module once per process for every test that needs it.
#include "tests/support/runtime.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "qorldap/qorldap.h"

namespace qortest {

int load_status() {
    static std::mutex lock;
    static bool loaded = false;
    static int status = 0;
    std::lock_guard guard(lock);
    // Loaded again after a qorhost_stop() (which withdraws module 17) so tests stay independent.
    if (!loaded || qorhost_vector(QORLDAP_MODULE) == nullptr) {
        qorhost_start();
        status = qorhost_load(QOR_MODULE_DIR "/qorldap.so");
        loaded = true;
    }
    return status;
}

::testing::AssertionResult module_loaded() {
    const int status = load_status();
    if (status == 0) {
        return ::testing::AssertionSuccess();
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
    std::string why;
    switch (status) {
        case -1: why = "the image could not be opened"; break;
        case -2: why = "the image has no mcn_main"; break;
        case -3: why = "the image has no valid image-information record"; break;
        default:
            why = "the module loaded but its start failed (installing the codec qorldber.so as module 18?); "
                  "status " + std::string(hex) + "; see the host log on standard error";
    }
    return ::testing::AssertionFailure() << "loading " QOR_MODULE_DIR "/qorldap.so answered " << status << ": " << why;
}

void **vector(int module) {
    load_status();
    return qorhost_vector(module);
}

qorhost_pool_stats pool_stats(const void *pool) {
    qorhost_pool_stats stats{};
    if (qorhost_pool_stats_of(pool, &stats) != 0) {
        ADD_FAILURE() << "not a live pool: " << pool;
        return qorhost_pool_stats{};
    }
    return stats;
}

FailAllocations::FailAllocations(long nth, bool persistent) { qorhost_fail_allocation(nth, persistent ? 1 : 0); }

FailAllocations::~FailAllocations() { qorhost_fail_reset(); }

long FailAllocations::injected() const { return qorhost_failures_injected(); }

}  // namespace qortest
