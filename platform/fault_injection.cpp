// Fault injection: the nth allocation event from the moment of arming fails, and with
// `persistent` every later one too. The countdown is global so an operation that spreads its
// allocations over several pools or threads still meets the failure at the same event.
#include "fault_injection.h"

#include <atomic>

#include "qorldap/qorhost.h"

namespace qorhost {

std::atomic<bool> allocation_faults_armed{false};

namespace {

std::atomic<long> countdown{0};
std::atomic<bool> keep_failing{false};
std::atomic<long> injected{0};

}  // namespace

bool armed_allocation_fails() {
    const long left = countdown.fetch_sub(1, std::memory_order_acq_rel) - 1;
    const bool fail = left == 0 || (left < 0 && keep_failing.load(std::memory_order_relaxed));
    if (fail) {
        injected.fetch_add(1, std::memory_order_relaxed);
        if (!keep_failing.load(std::memory_order_relaxed)) {
            allocation_faults_armed.store(false, std::memory_order_relaxed);  // a single failure: done
        }
    }
    return fail;
}

}  // namespace qorhost

extern "C" void qorhost_fail_allocation(long nth, int persistent) {
    using namespace qorhost;
    allocation_faults_armed.store(false, std::memory_order_relaxed);
    injected.store(0, std::memory_order_relaxed);
    if (nth <= 0) {
        return;
    }
    countdown.store(nth, std::memory_order_relaxed);
    keep_failing.store(persistent != 0, std::memory_order_relaxed);
    allocation_faults_armed.store(true, std::memory_order_release);
}

extern "C" void qorhost_fail_reset(void) {
    using namespace qorhost;
    allocation_faults_armed.store(false, std::memory_order_relaxed);
    countdown.store(0, std::memory_order_relaxed);
    keep_failing.store(false, std::memory_order_relaxed);
    injected.store(0, std::memory_order_relaxed);
}

extern "C" long qorhost_failures_injected(void) {
    return qorhost::injected.load(std::memory_order_relaxed);
}
