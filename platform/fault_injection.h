// Allocation fault injection shared by every pool and thread.
#pragma once

#include <atomic>

namespace qorhost {

// Whether a failure is armed (qorhost_fail_allocation); read on every allocation.
extern std::atomic<bool> allocation_faults_armed;

// Counts one allocation event while a failure is armed and answers whether it must fail.
bool armed_allocation_fails();

// Counts one allocation event (pool creation, block allocation, growth) and answers whether it
// must fail. Costs one relaxed load while nothing is armed.
inline bool allocation_should_fail() {
    return allocation_faults_armed.load(std::memory_order_relaxed) && armed_allocation_fails();
}

}  // namespace qorhost
