#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "tests/support/ber_reader.h"

namespace qortest {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int milliseconds_until(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 60'000 ? 60'000 : static_cast<int>(left);
}

[[noreturn]] void throw_errno(const char *what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

Socket &Socket::operator=(Socket &&other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Socket::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Socket::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::uint16_t free_loopback_port() {
    std::uint16_t port = 0;
    Socket s = listen_loopback(port);
    return port;
}

Socket listen_loopback(std::uint16_t &port_out) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s.valid()) throw_errno("socket");
    sockaddr_in addr = loopback_address(0);
    if (::bind(s.fd(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) throw_errno("bind 127.0.0.1:0");
    if (::listen(s.fd(), 16) != 0) throw_errno("listen");
    socklen_t len = sizeof addr;
    if (::getsockname(s.fd(), reinterpret_cast<sockaddr *>(&addr), &len) != 0) throw_errno("getsockname");
    port_out = ntohs(addr.sin_port);
    return s;
}

Socket connect_loopback(std::uint16_t port, std::chrono::milliseconds timeout) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s.valid()) return s;
    sockaddr_in addr = loopback_address(port);
    if (::connect(s.fd(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) return Socket();
        pollfd p{s.fd(), POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return Socket();
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return Socket();
    }
    int flags = ::fcntl(s.fd(), F_GETFL);
    ::fcntl(s.fd(), F_SETFL, flags & ~O_NONBLOCK);
    int one = 1;
    ::setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

RawClient::RawClient(std::uint16_t port, std::chrono::milliseconds timeout)
    : socket_(connect_loopback(port, timeout)) {
    if (!socket_.valid()) throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
}

bool RawClient::send(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(socket_.fd(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void RawClient::reset() {
    if (!socket_.valid()) return;
    linger abortive{1, 0};
    ::setsockopt(socket_.fd(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    socket_.reset();
}

bool RawClient::fill(Clock::time_point deadline) {
    if (closed_ || !socket_.valid()) return false;
    for (;;) {
        pollfd p{socket_.fd(), POLLIN, 0};
        int ready = ::poll(&p, 1, milliseconds_until(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            timed_out_ = ready == 0;
            return false;
        }
        std::uint8_t chunk[4096];
        ssize_t n = ::recv(socket_.fd(), chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.insert(buffer_.end(), chunk, chunk + n);
        return true;
    }
}

std::optional<Bytes> RawClient::read_element(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    timed_out_ = false;
    for (;;) {
        Framing f = frame_element(buffer_);
        if (f.state == Framing::State::invalid) return std::nullopt;
        if (f.state == Framing::State::complete) {
            Bytes element(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(f.size));
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(f.size));
            return element;
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

bool RawClient::wait_closed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    const std::size_t before = buffer_.size();
    while (fill(deadline)) {
    }
    return closed_ && buffer_.size() == before;
}

}  // namespace qortest
