// Loopback TCP for tests: an owned socket, free-port discovery, and a raw LDAP client that writes
// hand-made bytes and reads whole BER elements with a bounded wait. Everything binds or connects
// to 127.0.0.1 only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "tests/support/ber_builder.h"

namespace qortest {

// An owned file descriptor; closes it when destroyed. Movable, not copyable.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket &&other) noexcept : fd_(other.release()) {}
    Socket &operator=(Socket &&other) noexcept;
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    ~Socket() { reset(); }

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset();

private:
    int fd_ = -1;
};

// A port on 127.0.0.1 that was free a moment ago (bound and released). Another process may take
// it before the caller does, so whoever binds it must be ready to pick another.
std::uint16_t free_loopback_port();

// A listening, non-blocking IPv4 socket on 127.0.0.1 with a kernel-chosen port. Throws
// std::system_error on failure.
Socket listen_loopback(std::uint16_t &port_out);

// Connects to 127.0.0.1:port within `timeout`; an invalid Socket when refused or timed out. The
// returned socket is blocking.
Socket connect_loopback(std::uint16_t port, std::chrono::milliseconds timeout);

// A hand-driven client connection: the test writes bytes and reads whole elements. Every read
// is bounded by the given time-out; nothing here waits without limit.
class RawClient {
public:
    // Connects or throws std::runtime_error naming the port.
    explicit RawClient(std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Writes all bytes; false when the connection is gone.
    bool send(std::span<const std::uint8_t> bytes);

    // The next whole BER element, or nullopt when the server closed, the framing is invalid, or
    // nothing complete arrived within `timeout`. closed() and timed_out() tell which.
    std::optional<Bytes> read_element(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Waits up to `timeout` for the server to close; true when it did and sent nothing more
    // (bytes that arrive meanwhile are kept for read_element and make this false).
    bool wait_closed(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    bool closed() const { return closed_; }
    bool timed_out() const { return timed_out_; }
    // Bytes received and not yet returned as an element.
    const Bytes &pending() const { return buffer_; }

    // Closes the client's side in order (FIN).
    void close() { socket_.reset(); }
    // Closes the client's side abortively (RST), as a client that dies would.
    void reset();

private:
    // Reads what is available within the deadline; false on time-out, end of stream or error.
    bool fill(std::chrono::steady_clock::time_point deadline);

    Socket socket_;
    Bytes buffer_;
    bool closed_ = false;
    bool timed_out_ = false;
};

}  // namespace qortest
