// The host clock (wzdttme): milliseconds from a monotonic clock, plus a test offset that lets
// expiry logic be exercised without waiting.
#include "clock.h"

#include <atomic>

#include "qorldap/qorhost.h"
#include "services.h"

namespace qorhost {
namespace {

std::atomic<double> offset_ms{0.0};

}  // namespace

int milliseconds_until(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) {
        return -1;
    }
    if (deadline == kPassed) {
        return 0;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

Clock::time_point deadline_after(int milliseconds) {
    if (milliseconds < 0) {
        return Clock::time_point::max();
    }
    return milliseconds == 0 ? kPassed : Clock::now() + std::chrono::milliseconds(milliseconds);
}

double wzdttme_service() {
    const auto since = std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch());
    return since.count() + offset_ms.load(std::memory_order_relaxed);
}

}  // namespace qorhost

extern "C" void qorhost_advance_clock_ms(double ms) {
    double current = qorhost::offset_ms.load(std::memory_order_relaxed);
    while (!qorhost::offset_ms.compare_exchange_weak(current, current + ms, std::memory_order_relaxed)) {}
}
