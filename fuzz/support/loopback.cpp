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
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/support/ber_check.h"
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

using Bytes = std::vector<std::uint8_t>;

Bytes concat(Bytes first, const Bytes &second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

Bytes tlv(std::uint8_t tag, const Bytes &content) {
    Bytes length;
    for (size_t n = content.size(); n != 0 || length.empty(); n >>= 8) length.insert(length.begin(), n & 0xFF);
    if (content.size() >= 0x80) length.insert(length.begin(), static_cast<std::uint8_t>(0x80 | length.size()));
    return concat(concat(Bytes{tag}, length), content);
}

Bytes text(const std::string &value) { return tlv(0x04, Bytes(value.begin(), value.end())); }

// The DN a request names: the contents of a delete, else the first OCTET STRING of the operation
// (after the version of a bind); empty when there is none.
std::string request_dn(const BerHeader &operation, const std::uint8_t *at) {
    const std::uint8_t *contents = at + operation.header_size;
    if (!operation.constructed) return std::string(contents, contents + operation.length);
    const std::uint8_t *end = contents + operation.length;
    BerHeader item;
    while (contents < end && read_ber_header(contents, static_cast<size_t>(end - contents), &item)) {
        if (item.tag == 0x04) return std::string(contents + item.header_size, contents + item.header_size + item.length);
        contents += item.header_size + item.length;
    }
    return {};
}

// The result for a request, chosen by the DN it names so that referral texts can steer it:
// "refer:URL..." answers 9 with the referral text of the rest, "code:N" answers result code N with
// the DN as matched DN; any other request succeeds.
Bytes outcome(const BerHeader &operation, const std::uint8_t *at) {
    const std::string dn = request_dn(operation, at);
    std::uint8_t code = 0;
    std::string matched;
    std::string message;
    if (dn.rfind("refer:", 0) == 0) {
        code = 9;
        message = "Referral:\n" + dn.substr(6);
    } else if (dn.rfind("code:", 0) == 0) {
        code = static_cast<std::uint8_t>(std::atoi(dn.c_str() + 5) & 0x7F);
        matched = dn;
        message = "refused";
    }
    return concat(concat(tlv(0x0A, Bytes{code}), text(matched)), text(message));
}

// The answering server: every request is answered with its result (a search with its final
// result) as outcome() chooses, abandon requests are ignored and an unbind closes.
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
        Bytes pending;
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
            bool keep = answer(client.fd, Bytes(client.pending.begin(), client.pending.begin() + size));
            client.pending.erase(client.pending.begin(), client.pending.begin() + size);
            if (!keep) {
                hang_up(client);
                return;
            }
        }
    }

    // Size of the whole element at the front of `bytes`, 0 while its header is incomplete; false
    // when it is no element this server understands.
    static bool element_size(const Bytes &bytes, size_t *size) {
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
    static bool answer(int fd, const Bytes &request) {
        BerHeader message;
        BerHeader id;
        BerHeader operation;
        if (!read_ber_header(request.data(), request.size(), &message)) return false;
        const std::uint8_t *at = request.data() + message.header_size;
        const std::uint8_t *end = at + message.length;
        if (!read_ber_header(at, static_cast<size_t>(end - at), &id) || id.tag != 0x02) return false;
        const Bytes id_bytes(at, at + id.header_size + id.length);
        at += id.header_size + id.length;
        if (!read_ber_header(at, static_cast<size_t>(end - at), &operation)) return false;
        if (operation.tag == 0x42) return false;   // unbind
        if (operation.tag == 0x50) return true;    // abandon: no answer
        const std::uint8_t result = operation.tag == 0x63 ? 0x65 : operation.tag == 0x4A ? 0x6B : operation.tag + 1;
        const Bytes reply = tlv(0x30, concat(id_bytes, tlv(result, outcome(operation, at))));
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
    drop_connection();
    pollfd polled{listener_, POLLIN, 0};
    if (::poll(&polled, 1, 1000) != 1) fail("the session did not connect to the scripted peer");
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection_ < 0) fail("accept: errno %d", errno);
    int size = 1 << 20;
    ::setsockopt(connection_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    set_non_blocking(connection_);
}

void ScriptedPeer::send_and_end(const std::uint8_t *bytes, std::size_t size) { send_all(bytes, size, false); }

void ScriptedPeer::send_all(const std::uint8_t *bytes, std::size_t size, bool session_may_leave) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (size > 0) {
        ssize_t sent = ::send(connection_, bytes, size, MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            size -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && session_may_leave && (errno == EPIPE || errno == ECONNRESET)) break;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) fail("send: errno %d", errno);
        if (std::chrono::steady_clock::now() > deadline) fail("the scripted peer could not send its bytes");
        pollfd polled{connection_, POLLOUT, 0};
        ::poll(&polled, 1, 10);
    }
    ::shutdown(connection_, SHUT_WR);
}

void ScriptedPeer::serve_in_background(const std::uint8_t *bytes, std::size_t size) {
    close();
    sender_ = std::thread([this, copy = std::vector<std::uint8_t>(bytes, bytes + size)] {
        accept_session();
        send_all(copy.data(), copy.size(), true);
    });
}

void ScriptedPeer::close() {
    if (sender_.joinable()) sender_.join();
    drop_connection();
}

void ScriptedPeer::drop_connection() {
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

ScriptedPeer *start_peer_with_referral_servers() {
    start_runtime();
    auto *peer = new ScriptedPeer();
    const std::uint16_t keep = peer->port();
    start_referral_servers(&keep, 1);
    return peer;
}

}  // namespace qorfuzz
