// Monotonic time for bounds and the host clock service.
#pragma once

#include <chrono>

namespace qorhost {

using Clock = std::chrono::steady_clock;

// Milliseconds from now until `deadline`, rounded up, at least 0; -1 for "no deadline" (max()).
int milliseconds_until(Clock::time_point deadline);

// now + milliseconds, or max() for a negative value (no bound).
Clock::time_point deadline_after(int milliseconds);

}  // namespace qorhost
