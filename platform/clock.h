// Monotonic time for bounds and the host clock service.
#pragma once

#include <chrono>

namespace qorhost {

using Clock = std::chrono::steady_clock;

// A deadline that has passed before anyone asks: what a bound of 0 ms gives, without reading
// the clock.
inline constexpr Clock::time_point kPassed = Clock::time_point::min();

// Milliseconds from now until `deadline`, rounded up, at least 0; -1 for "no deadline" (max()).
int milliseconds_until(Clock::time_point deadline);

// now + milliseconds; kPassed for 0, max() for a negative value (no bound).
Clock::time_point deadline_after(int milliseconds);

// Whether `deadline` has come.
inline bool has_passed(Clock::time_point deadline) {
    return deadline == kPassed || Clock::now() >= deadline;
}

// The deadline of a bound that starts when it is first asked for, so that an operation that
// ends without waiting does not read the clock.
class DeadlineOnDemand {
public:
    explicit DeadlineOnDemand(int milliseconds) : milliseconds_(milliseconds) {}

    Clock::time_point get() {
        if (!known_) {
            deadline_ = deadline_after(milliseconds_);
            known_ = true;
        }
        return deadline_;
    }

private:
    int milliseconds_;
    bool known_ = false;
    Clock::time_point deadline_;
};

}  // namespace qorhost
