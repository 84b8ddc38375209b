// TCP sockets over IPv4 and IPv6. A handle is a small positive number naming a registry entry;
// its descriptor is made when it connects, once the address family is known. Descriptors are
// non-blocking and close-on-exec; every blocking step (connect, TLS handshake, read, write) waits
// in poll(2) with a bound, and writes never raise SIGPIPE. Once TLS is started on a socket every
// read and write of it goes through the TLS layer.
#include "sockets.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "clock.h"
#include "control_block.h"
#include "services.h"
#include "settings.h"
#include "status.h"
#include "tls.h"

namespace qorhost {
namespace {

struct Socket {
    bool open = false;
    int fd = -1;
    HostEvent *event = nullptr;
    bool failure_posted = false;      // a wait has posted this socket's failure
    std::shared_ptr<TlsChannel> tls;  // null until TLS is started
    std::string tls_failure;          // reason of the last TLS failure, for wqstlsr
};

std::mutex sockets_lock;
std::vector<Socket> table(1);  // index = handle; entry 0 is never used; guarded by sockets_lock

Socket *find(int32_t handle) {
    if (handle <= 0 || static_cast<size_t>(handle) >= table.size() || !table[handle].open) {
        return nullptr;
    }
    return &table[handle];
}

// A connected socket's descriptor (-1 when there is none) and TLS layer. The channel is shared, so
// that it outlives a close by another thread during a transfer.
struct Transport {
    int fd = -1;
    std::shared_ptr<TlsChannel> tls;
};

Transport transport_of(int32_t handle) {
    std::lock_guard lock(sockets_lock);
    const Socket *s = find(handle);
    return s != nullptr ? Transport{s->fd, s->tls} : Transport{};
}

void remember_tls_failure(int32_t handle, std::string reason) {
    std::lock_guard lock(sockets_lock);
    if (Socket *s = find(handle); s != nullptr) s->tls_failure = std::move(reason);
}

// Waits until `fd` is ready for `events` or the deadline passes. Answers the revents, 0 on
// time-out, -1 on a poll failure.
int wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, milliseconds_until(deadline));
        if (ready > 0) {
            return p.revents;
        }
        if (ready == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

// One connection attempt to one address, bounded by the deadline. Answers the descriptor or -1.
int connect_address(const addrinfo &address, Clock::time_point deadline) {
    const int fd = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            ::close(fd);
            return -1;
        }
        const int ready = wait_for(fd, POLLOUT, deadline);
        int error = 0;
        socklen_t length = sizeof error;
        if (ready <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            ::close(fd);
            return -1;
        }
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

void sockets_registered_on(HostEvent *const *events, int count, std::vector<WatchedSocket> &watched) {
    watched.clear();
    std::lock_guard lock(sockets_lock);
    for (size_t handle = 1; handle < table.size(); ++handle) {
        const Socket &s = table[handle];
        if (!s.open || s.event == nullptr) {
            continue;
        }
        for (int i = 0; i < count; ++i) {
            if (events[i] != nullptr && events[i] == s.event) {
                watched.push_back({static_cast<int32_t>(handle), s.fd, i, s.tls});
                break;
            }
        }
    }
}

bool first_failure_of(int32_t handle) {
    std::lock_guard lock(sockets_lock);
    Socket *s = find(handle);
    if (s == nullptr || s->failure_posted) {
        return false;
    }
    s->failure_posted = true;
    return true;
}

int32_t wqssock_service(int32_t, uint32_t, int32_t, uintptr_t, int32_t *socket) {
    if (socket == nullptr) {
        return status(kStatusBadArgument);
    }
    std::lock_guard lock(sockets_lock);
    size_t handle = 1;
    while (handle < table.size() && table[handle].open) {
        ++handle;
    }
    if (handle == table.size()) {
        table.emplace_back();
    }
    table[handle] = Socket{};
    table[handle].open = true;
    *socket = static_cast<int32_t>(handle);
    return 0;
}

int32_t wqsconn_service(int32_t socket, const char *host, int32_t host_length, int32_t, int32_t, int32_t port) {
    if (host_length < 0 || (host == nullptr && host_length > 0) || port < 0 || port > 65535) {
        return status(kStatusBadArgument);
    }
    {
        std::lock_guard lock(sockets_lock);
        const Socket *s = find(socket);
        if (s == nullptr) {
            return status(kStatusBadSocket);
        }
        if (s->fd >= 0) {
            return status(kStatusBadArgument);  // already connected
        }
    }
    std::string name = host_length > 0 ? std::string(host, static_cast<size_t>(host_length)) : std::string();
    if (name.find('\0') != std::string::npos) {
        return status(kStatusBadArgument);
    }
    if (name.empty()) {
        name = "127.0.0.1";
    }
    const std::string service = std::to_string(mapped_port(port));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo *addresses = nullptr;
    if (getaddrinfo(name.c_str(), service.c_str(), &hints, &addresses) != 0 || addresses == nullptr) {
        hints.ai_flags = AI_NUMERICSERV;  // loopback names resolve even without a configured address
        if (getaddrinfo(name.c_str(), service.c_str(), &hints, &addresses) != 0 || addresses == nullptr) {
            return status(kStatusResolveFailed);
        }
    }
    const Clock::time_point deadline = deadline_after(connect_timeout_ms());
    int fd = -1;
    for (const addrinfo *a = addresses; a != nullptr && fd < 0 && !has_passed(deadline); a = a->ai_next) {
        fd = connect_address(*a, deadline);
    }
    freeaddrinfo(addresses);
    if (fd < 0) {
        return status(kStatusConnectFailed);
    }
    std::lock_guard lock(sockets_lock);
    Socket *s = find(socket);
    if (s == nullptr || s->fd >= 0) {
        ::close(fd);  // closed or connected by someone else meanwhile
        return status(kStatusBadSocket);
    }
    s->fd = fd;
    return 0;
}

int32_t wqsclos_service(int32_t socket) {
    std::lock_guard lock(sockets_lock);
    Socket *s = find(socket);
    if (s == nullptr) {
        return status(kStatusBadSocket);
    }
    if (s->tls != nullptr) {
        s->tls->close_notify();
    }
    if (s->fd >= 0) {
        ::close(s->fd);
    }
    *s = Socket{};
    return 0;
}

int32_t wqsrsoc_service(int32_t socket, HostEvent *event) {
    if (event == nullptr) {
        return status(kStatusBadArgument);
    }
    std::lock_guard lock(sockets_lock);
    Socket *s = find(socket);
    if (s == nullptr) {
        return status(kStatusBadSocket);
    }
    s->event = event;
    return 0;
}

int32_t wqsureg_service(int32_t socket) {
    std::lock_guard lock(sockets_lock);
    Socket *s = find(socket);
    if (s == nullptr) {
        return status(kStatusBadSocket);
    }
    s->event = nullptr;
    return 0;
}

int32_t wqshost_service(char *buffer, int32_t size) {
    if (buffer == nullptr || size <= 0) {
        return status(kStatusBadArgument);
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return status(kStatusFailed);
    }
    const size_t length = std::min(std::strlen(name), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, name, length);
    buffer[length] = '\0';
    return 0;
}

int32_t wqsread_service(int32_t socket, void *buffer, int32_t capacity, int32_t *received, int32_t wait_ms) {
    if (received != nullptr) {
        *received = 0;
    }
    if (buffer == nullptr || capacity <= 0 || received == nullptr) {
        return status(kStatusBadArgument);
    }
    const Transport t = transport_of(socket);
    if (t.fd < 0) {
        return status(kStatusBadSocket);
    }
    DeadlineOnDemand deadline(wait_ms);
    for (;;) {
        short awaited = POLLIN;
        if (t.tls != nullptr) {
            size_t got = 0;
            std::string reason;
            switch (t.tls->read(buffer, static_cast<size_t>(capacity), &got, &reason)) {
            case TlsStep::done: *received = static_cast<int32_t>(got); return 0;
            case TlsStep::ended: return status(kStatusEndOfStream);
            case TlsStep::failed: remember_tls_failure(socket, std::move(reason)); return status(kStatusTlsFailed);
            case TlsStep::want_write: awaited = POLLOUT; break;
            case TlsStep::want_read: break;
            }
        } else {
            const ssize_t got = ::recv(t.fd, buffer, static_cast<size_t>(capacity), 0);
            if (got > 0) {
                *received = static_cast<int32_t>(got);
                return 0;
            }
            if (got == 0) {
                return status(kStatusEndOfStream);
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return status(kStatusSocketFailed);
            }
        }
        const int ready = wait_for(t.fd, awaited, deadline.get());
        if (ready == 0) {
            return status(kStatusTimedOut);
        }
        if (ready < 0) {
            return status(kStatusSocketFailed);
        }
    }
}

int32_t wqswrit_service(int32_t socket, const void *bytes, int32_t count, int32_t wait_ms) {
    if (count < 0 || (bytes == nullptr && count > 0)) {
        return status(kStatusBadArgument);
    }
    const Transport t = transport_of(socket);
    if (t.fd < 0) {
        return status(kStatusBadSocket);
    }
    DeadlineOnDemand deadline(wait_ms);
    const auto *next = static_cast<const char *>(bytes);
    size_t left = static_cast<size_t>(count);
    while (left > 0) {
        short awaited = POLLOUT;
        if (t.tls != nullptr) {
            size_t sent = 0;
            std::string reason;
            switch (t.tls->write(next, left, &sent, &reason)) {
            case TlsStep::done:
                next += sent;
                left -= sent;
                continue;
            case TlsStep::ended: return status(kStatusEndOfStream);
            case TlsStep::failed: remember_tls_failure(socket, std::move(reason)); return status(kStatusTlsFailed);
            case TlsStep::want_read: awaited = POLLIN; break;
            case TlsStep::want_write: break;
            }
        } else {
            const ssize_t sent = ::send(t.fd, next, left, MSG_NOSIGNAL);
            if (sent > 0) {
                next += sent;
                left -= static_cast<size_t>(sent);
                continue;
            }
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                return status(kStatusSocketFailed);
            }
        }
        const int ready = wait_for(t.fd, awaited, deadline.get());
        if (ready == 0) {
            return status(kStatusTimedOut);
        }
        if (ready < 0) {
            return status(kStatusSocketFailed);
        }
    }
    return 0;
}

int32_t wqslimt_service(int32_t *read_wait_ms, int32_t *largest) {
    ensure_started();
    if (read_wait_ms != nullptr) {
        *read_wait_ms = read_timeout_ms();
    }
    if (largest != nullptr) {
        *largest = max_message();
    }
    return 0;
}

int32_t wqstlss_service(int32_t socket, const char *server_name, int32_t name_length, const char *ca_file,
                        int32_t ca_length, int32_t mode) {
    if (name_length < 0 || (server_name == nullptr && name_length > 0) || ca_length < 0 ||
        (ca_file == nullptr && ca_length > 0) || (mode != kTlsModeVerify && mode != kTlsModeNoVerification)) {
        return status(kStatusBadArgument);
    }
    const std::string_view name(server_name != nullptr ? server_name : "", static_cast<size_t>(name_length));
    const std::string_view ca(ca_file != nullptr ? ca_file : "", static_cast<size_t>(ca_length));
    if (name.find('\0') != std::string_view::npos || ca.find('\0') != std::string_view::npos) {
        return status(kStatusBadArgument);
    }
    const Transport t = transport_of(socket);
    if (t.fd < 0) {
        return status(kStatusBadSocket);
    }
    if (t.tls != nullptr) {
        return status(kStatusBadArgument);  // TLS is on already
    }
    const TlsVerification verification = mode == kTlsModeVerify ? TlsVerification::demand : TlsVerification::none;
    HostStatus failure = kStatusOk;
    std::string reason;
    std::shared_ptr<TlsChannel> channel =
        TlsChannel::connect(t.fd, name, ca, verification, deadline_after(connect_timeout_ms()), &failure, &reason);
    std::lock_guard lock(sockets_lock);
    Socket *s = find(socket);
    if (s == nullptr || s->fd != t.fd) {
        return status(kStatusBadSocket);  // closed meanwhile
    }
    if (channel == nullptr) {
        s->tls_failure = std::move(reason);
        return status(failure);
    }
    s->tls = std::move(channel);
    return 0;
}

int32_t wqstlsr_service(int32_t socket, char *buffer, int32_t size, int32_t *length) {
    if (buffer == nullptr || size <= 0 || length == nullptr) {
        return status(kStatusBadArgument);
    }
    std::lock_guard lock(sockets_lock);
    const Socket *s = find(socket);
    if (s == nullptr) {
        return status(kStatusBadSocket);
    }
    if (s->tls_failure.empty()) {
        return status(kStatusNotFound);
    }
    const size_t copied = std::min(s->tls_failure.size(), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, s->tls_failure.data(), copied);
    buffer[copied] = '\0';
    *length = static_cast<int32_t>(copied);
    return 0;
}

}  // namespace qorhost
