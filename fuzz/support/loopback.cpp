// Loopback peers of the fuzz programs.
#include "fuzz/support/loopback.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "fuzz/support/runtime.h"
#include "qorldap/qorhost.h"

// Every name the runtime resolves is 127.0.0.1 in a fuzz program: referral texts name arbitrary
// hosts, and a fuzz run must neither wait for a name server nor connect off the machine.
extern "C" int getaddrinfo(const char *, const char *service, const struct addrinfo *hints, struct addrinfo **result) {
    using Resolve = int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
    static const auto resolve = reinterpret_cast<Resolve>(dlsym(RTLD_NEXT, "getaddrinfo"));
    struct addrinfo loopback_hints {};
    if (hints != nullptr) loopback_hints = *hints;
    loopback_hints.ai_family = AF_INET;
    loopback_hints.ai_flags = (loopback_hints.ai_flags & ~AI_ADDRCONFIG) | AI_NUMERICHOST;
    return resolve("127.0.0.1", service, &loopback_hints, result);
}

namespace qorfuzz {

namespace {

// A socket bound to 127.0.0.1 on a port the kernel chooses; listening when `listening`.
int bound_socket(bool listening, std::uint16_t *port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket: errno %d", errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        (listening && ::listen(fd, 64) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        fail("cannot bind a loopback socket: errno %d", errno);
    }
    *port = ntohs(address.sin_port);
    return fd;
}

void set_non_blocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// The answering server: every bind is accepted, every other request answered with success (a
// search with its final result), abandon requests are ignored and an unbind closes.
class AnsweringServer {
public:
    explicit AnsweringServer(int listener) : listener_(listener) {}

    [[noreturn]] void run() {
        for (;;) {
            std::vector<pollfd> polled{{listener_, POLLIN, 0}};
            for (const Client &client : clients_) polled.push_back({client.fd, POLLIN, 0});
            if (::poll(polled.data(), polled.size(), -1) < 0) continue;
            if ((polled[0].revents & POLLIN) != 0) {
                int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) clients_.push_back({fd, {}});
            }
            for (size_t i = 1; i < polled.size(); ++i) {
                if (polled[i].revents != 0) serve(clients_[i - 1]);
            }
            clients_.erase(std::remove_if(clients_.begin(), clients_.end(), [](const Client &c) { return c.fd < 0; }),
                           clients_.end());
        }
    }

private:
    struct Client {
        int fd;
        std::vector<std::uint8_t> pending;
    };

    static void hang_up(Client &client) {
        ::close(client.fd);
        client.fd = -1;
    }

    void serve(Client &client) {
        std::uint8_t chunk[4096];
        ssize_t got = ::recv(client.fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            hang_up(client);
            return;
        }
        client.pending.insert(client.pending.end(), chunk, chunk + got);
        for (;;) {
            size_t size = 0;
            if (!element_size(client.pending, &size)) {
                hang_up(client);
                return;
            }
            if (size == 0 || size > client.pending.size()) return;
            bool keep = answer(client.fd, std::vector<std::uint8_t>(client.pending.begin(), client.pending.begin() + size));
            client.pending.erase(client.pending.begin(), client.pending.begin() + size);
            if (!keep) {
                hang_up(client);
                return;
            }
        }
    }

    // Size of the whole element at the front of `bytes`, 0 while its header is incomplete; false
    // when it is no element this server understands.
    static bool element_size(const std::vector<std::uint8_t> &bytes, size_t *size) {
        *size = 0;
        if (bytes.size() < 2) return true;
        size_t header = 2;
        size_t length = bytes[1];
        if ((length & 0x80) != 0) {
            size_t count = length & 0x7F;
            if (count == 0 || count > 4) return false;
            if (bytes.size() < 2 + count) return true;
            length = 0;
            for (size_t i = 0; i < count; ++i) length = (length << 8) | bytes[2 + i];
            header += count;
        }
        *size = header + length;
        return true;
    }

    // Answers one request; false when the connection is to end.
    static bool answer(int fd, const std::vector<std::uint8_t> &request) {
        size_t at = (request[1] & 0x80) != 0 ? 2 + (request[1] & 0x7F) : 2;
        if (at + 2 > request.size() || request[at] != 0x02) return false;
        size_t id_length = request[at + 1];
        if (id_length == 0 || id_length > 4 || at + 2 + id_length >= request.size()) return false;
        std::vector<std::uint8_t> id(request.begin() + at, request.begin() + at + 2 + id_length);
        std::uint8_t operation = request[at + 2 + id_length];
        if (operation == 0x42) return false;   // unbind
        if (operation == 0x50) return true;    // abandon: no answer
        std::uint8_t result = operation == 0x63 ? 0x65 : operation == 0x4A ? 0x6B : operation + 1;
        std::vector<std::uint8_t> reply{0x30, static_cast<std::uint8_t>(id.size() + 9)};
        reply.insert(reply.end(), id.begin(), id.end());
        const std::uint8_t success[] = {result, 0x07, 0x0A, 0x01, 0x00, 0x04, 0x00, 0x04, 0x00};
        reply.insert(reply.end(), std::begin(success), std::end(success));
        return ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(reply.size());
    }

    int listener_;
    std::vector<Client> clients_;
};

}  // namespace

ScriptedPeer::ScriptedPeer() { listener_ = bound_socket(true, &port_); }

ScriptedPeer::~ScriptedPeer() {
    close();
    ::close(listener_);
}

void ScriptedPeer::accept_session() {
    close();
    pollfd polled{listener_, POLLIN, 0};
    if (::poll(&polled, 1, 1000) != 1) fail("the session did not connect to the scripted peer");
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection_ < 0) fail("accept: errno %d", errno);
    int size = 1 << 20;
    ::setsockopt(connection_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    set_non_blocking(connection_);
}

void ScriptedPeer::send_and_end(const std::uint8_t *bytes, std::size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (size > 0) {
        ssize_t sent = ::send(connection_, bytes, size, MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            size -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) fail("send: errno %d", errno);
        if (std::chrono::steady_clock::now() > deadline) fail("the scripted peer could not send its bytes");
        pollfd polled{connection_, POLLOUT, 0};
        ::poll(&polled, 1, 10);
    }
    ::shutdown(connection_, SHUT_WR);
}

void ScriptedPeer::close() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
}

std::uint16_t start_referral_servers(const std::uint16_t *keep, std::size_t keep_count) {
    static std::uint16_t answering_port = 0;
    if (answering_port != 0) return answering_port;
    int listener = bound_socket(true, &answering_port);
    std::uint16_t closed_port = 0;
    bound_socket(false, &closed_port);   // bound, never listening: connections are refused
    std::thread([listener] { AnsweringServer(listener).run(); }).detach();

    for (int port = 1; port <= 65535; ++port) {
        bool kept = port == answering_port || port == closed_port || std::find(keep, keep + keep_count, port) != keep + keep_count;
        if (!kept) qorhost_map_port(port, port % 2 == 1 ? answering_port : closed_port);
    }
    return answering_port;
}

}  // namespace qorfuzz
