// Allocation fault injection shared by every pool and thread.
#pragma once

namespace qorhost {

// Counts one allocation event (pool creation, block allocation, growth) and answers whether it
// must fail. Costs one relaxed load while nothing is armed.
bool allocation_should_fail();

}  // namespace qorhost
