// The platform runtime for tests: starts it and loads the directory module once per process, and
// gives typed access to module vectors, pool statistics and allocation fault injection.
//
//   TEST(Something, Works) {
//       ASSERT_TRUE(qortest::module_loaded());        // reports the load status when it failed
//       auto dsopen = qortest::entry<qorldap_dsopen_fn>(QORLDAP_MODULE, 5);
//       ...
//       qortest::FailAllocations fail(3);              // the 3rd allocation from here fails
//   }
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "qorldap/qorhost.h"

namespace qortest {

// Starts the runtime and loads QOR_MODULE_DIR "/qorldap.so" on the first call (and again after a
// qorhost_stop() has withdrawn it); later calls answer the same status: 0 when the module and the codec it installs are loaded, else the loader's
// error (negative, from qorhost_load) or the status of the module's start (the codec's
// installation).
int load_status();

// Success when load_status() is 0; otherwise a failure naming the status and what it means.
::testing::AssertionResult module_loaded();

// The vector of a host module (after loading): 17 the directory module, 18 the codec, or a
// service module of the runtime (0, 4, 30, 31, 40, 443). Null when nothing is published.
void **vector(int module);

// Entry `entry` of module `module`'s vector as a function of type Function (a function-pointer
// type), or null.
template <typename Function>
Function entry(int module, int entry_number) {
    void **v = vector(module);
    return v != nullptr ? reinterpret_cast<Function>(v[entry_number]) : nullptr;
}

// Statistics of a pool; a test failure (and zeroed statistics) when it is not a live pool.
qorhost_pool_stats pool_stats(const void *pool);

// Allocation fault injection for the lifetime of the guard: the nth allocation event (pool
// creation, allocation, growth; all pools, all threads) from construction fails, and every later
// one too when `persistent`. The destructor disarms it.
class FailAllocations {
public:
    explicit FailAllocations(long nth, bool persistent = false);
    ~FailAllocations();
    FailAllocations(const FailAllocations &) = delete;
    FailAllocations &operator=(const FailAllocations &) = delete;

    // Failures injected so far.
    long injected() const;
};

}  // namespace qortest
