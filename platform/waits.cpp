// Timers and readiness waits. Each thread has one timer and one list of the sockets its last wait
// found readable, so sessions on different threads never see each other's waits. A wait is
// level-triggered: a socket that is already readable, or whose peer has closed, ends it at once.
// A socket that fails (a reset) has its failure posted by one wait; later waits count it readable.
// A TLS socket counts as readable while its TLS layer holds decrypted bytes, and not when all that
// arrived was the protocol's own records.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "clock.h"
#include "services.h"
#include "sockets.h"
#include "status.h"

namespace qorhost {
namespace {

struct Timer {
    bool armed = false;
    HostEvent *event = nullptr;
    Clock::time_point deadline;
};

thread_local Timer timer;
thread_local std::vector<int32_t> last_ready;

// What one wait watches and polls. Kept from wait to wait for their storage, so that a wait
// allocates nothing; emptied when a wait ends, so that no TLS layer outlives its socket here.
struct WaitLists {
    std::vector<WatchedSocket> watched;
    std::vector<pollfd> polled;
};
thread_local WaitLists wait_lists;

struct ClearedAtEnd {
    WaitLists &lists;
    ~ClearedAtEnd() {
        lists.watched.clear();
        lists.polled.clear();
    }
};

// Arrays handed out by wqsgmsk and not yet given back; any thread may give one back. A session
// holds one at a time, so the list stays short.
std::mutex arrays_lock;
std::vector<const int32_t *> arrays_out;

void post_failure(HostEvent *event, HostStatus failure) {
    event->status = status(failure);
    event->status_present = 1;
}

// Index of the armed timer's event in the list, or -1.
int timer_index(HostEvent *const *events, int count) {
    if (!timer.armed) {
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        if (events[i] != nullptr && events[i] == timer.event) {
            return i;
        }
    }
    return -1;
}

// Settles what a poll found on TLS sockets: one whose layer holds decrypted bytes is readable; one
// whose descriptor is readable is readable only when what arrived is more than the TLS
// protocol's own records. Answers whether any socket is readable (or failed) now.
bool count_tls_input(const std::vector<WatchedSocket> &watched, std::vector<pollfd> &polled) {
    bool any = false;
    for (size_t i = 0; i < watched.size(); ++i) {
        short &revents = polled[i].revents;
        const TlsChannel *held = watched[i].tls.get();
        if (held != nullptr && held->holds_input()) {
            revents |= POLLIN;
        } else if (held != nullptr && revents == POLLIN && !watched[i].tls->input_ready()) {
            revents = 0;
        }
        any = any || revents != 0;
    }
    return any;
}

}  // namespace

int32_t wttimer_service(int32_t milliseconds, int32_t, HostEvent *event) {
    if (event == nullptr) {
        timer = Timer{};
        return 0;
    }
    if (milliseconds < 0) {
        return status(kStatusBadArgument);
    }
    timer = Timer{true, event, deadline_after(milliseconds)};
    return 0;
}

int32_t wtgwait_service(int32_t *which, int32_t, int32_t count, HostEvent *const *events) {
    if (which == nullptr || events == nullptr || count <= 0) {
        return status(kStatusBadArgument);
    }
    last_ready.clear();
    for (int i = 0; i < count; ++i) {
        if (events[i] != nullptr) {
            events[i]->status = 0;
            events[i]->status_present = 0;
        }
    }
    const ClearedAtEnd cleared{wait_lists};
    std::vector<WatchedSocket> &watched = wait_lists.watched;
    sockets_registered_on(events, count, watched);
    const int timed = timer_index(events, count);
    if (watched.empty() && timed < 0) {
        // Nothing could ever end this wait: report it rather than block forever.
        for (int i = 0; i < count; ++i) {
            if (events[i] != nullptr) {
                post_failure(events[i], kStatusNothingToWaitFor);
                *which = i;
                return status(kStatusNothingToWaitFor);
            }
        }
        return status(kStatusBadArgument);
    }
    std::vector<pollfd> &polled = wait_lists.polled;
    for (const WatchedSocket &w : watched) {
        polled.push_back({w.fd, POLLIN, 0});  // a negative fd is never ready: handled below
    }
    // A registered socket without a connection can only fail.
    for (const WatchedSocket &w : watched) {
        if (w.fd < 0) {
            post_failure(events[w.event], kStatusBadSocket);
            *which = w.event;
            return 0;
        }
    }
    const Clock::time_point deadline = timed >= 0 ? timer.deadline : Clock::time_point::max();
    for (;;) {
        // Bytes a TLS layer has decrypted already make their socket readable at once.
        bool held = false;
        for (const WatchedSocket &w : watched) {
            held = held || (w.tls != nullptr && w.tls->holds_input());
        }
        const int ready = poll(polled.data(), polled.size(), held ? 0 : milliseconds_until(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            post_failure(events[watched.front().event], kStatusSocketFailed);
            *which = watched.front().event;
            return 0;
        }
        if (ready > 0 || held) {
            if (count_tls_input(watched, polled)) {
                break;
            }
            continue;  // only the TLS protocol's own records arrived (session tickets)
        }
        if (!has_passed(deadline)) {
            continue;  // poll rounds to milliseconds; the timer has not quite expired
        }
        timer.armed = false;
        *which = timed;
        return 0;
    }
    int failed = -1;
    int readable = -1;
    for (size_t i = 0; i < watched.size(); ++i) {
        const short revents = polled[i].revents;
        const int index = watched[i].event;
        if ((revents & (POLLERR | POLLNVAL)) != 0 && first_failure_of(watched[i].handle)) {
            failed = failed < 0 || index < failed ? index : failed;
        }
        if (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            last_ready.push_back(watched[i].handle);
            readable = readable < 0 || index < readable ? index : readable;
        }
    }
    if (failed >= 0) {
        post_failure(events[failed], kStatusSocketFailed);
        *which = failed;
    } else {
        *which = readable >= 0 ? readable : watched.front().event;
    }
    return 0;
}

int32_t wqsgmsk_service(int32_t *count, int32_t **sockets) {
    if (count == nullptr || sockets == nullptr) {
        return status(kStatusBadArgument);
    }
    const size_t n = last_ready.size();
    auto *array = static_cast<int32_t *>(std::malloc((n > 0 ? n : 1) * sizeof(int32_t)));
    if (array == nullptr) {
        return status(kStatusNoMemory);
    }
    if (n > 0) {
        std::memcpy(array, last_ready.data(), n * sizeof(int32_t));
    }
    {
        std::lock_guard lock(arrays_lock);
        arrays_out.push_back(array);
    }
    *count = static_cast<int32_t>(n);
    *sockets = array;
    return 0;
}

int32_t wqsfmsk_service(int32_t *sockets) {
    if (sockets == nullptr) {
        return 0;
    }
    {
        std::lock_guard lock(arrays_lock);
        const auto out = std::find(arrays_out.begin(), arrays_out.end(), sockets);
        if (out == arrays_out.end()) {
            return status(kStatusNotFound);
        }
        *out = arrays_out.back();
        arrays_out.pop_back();
    }
    std::free(sockets);
    return 0;
}

}  // namespace qorhost

extern "C" long qorhost_ready_arrays_held(void) {
    std::lock_guard lock(qorhost::arrays_lock);
    return static_cast<long>(qorhost::arrays_out.size());
}
