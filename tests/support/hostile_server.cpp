#include "tests/support/hostile_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "tests/support/ber_reader.h"
#include "tests/support/ldap_messages.h"

namespace qortest {

namespace {

// The answer a well-behaved server would give to a request: an entry and a final result of the
// request's kind (for a search) or the result alone. Faults that cut it send its first half.
Bytes honest_answer(const LdapMessageView &request) {
    if (request.op == ldap::op::search_request)
        return concat({ldap::search_entry(request.id, "cn=hostile,o=x", {{"cn", {"hostile"}}}),
                       ldap::search_done(request.id, 0)});
    // A response's tag is its request's + 1, except for delete (0x4A, answered with 0x6B).
    const auto op = request.op == ldap::op::delete_request ? ldap::op::delete_response
                                                           : static_cast<std::uint8_t>(request.op + 1);
    return ldap::result(request.id, op, 0);
}

Bytes first_half(const Bytes &bytes) { return Bytes(bytes.begin(), bytes.begin() + bytes.size() / 2); }

// Identifier octets that never end: no decoder can take this for the start of an element.
const Bytes kGarbage(16, 0xff);

// SEQUENCE of length 0x80000000, with four bytes of its contents.
const Bytes kHugeHeader = hex("30 84 80 00 00 00 02 01 02 64");

void send_all(int fd, const Bytes &bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

}  // namespace

std::string_view fault_name(Fault fault) {
    switch (fault) {
    case Fault::close_mid_message: return "close_mid_message";
    case Fault::garbage: return "garbage";
    case Fault::huge_length: return "huge_length";
    case Fault::half_then_silence: return "half_then_silence";
    case Fault::silence: return "silence";
    case Fault::reset: return "reset";
    }
    return "unknown";
}

HostileServer::HostileServer(Fault fault) : fault_(fault) {
    listener_ = listen_loopback(port_);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("HostileServer: pipe2 failed");
    wake_read_ = Socket(fds[0]);
    wake_write_ = Socket(fds[1]);
    thread_ = std::thread([this] { run(); });
}

HostileServer::~HostileServer() {
    const char wake = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_write_.fd(), &wake, 1);
    thread_.join();
}

void HostileServer::run() {
    struct Client {
        Socket socket;
        Bytes inbox;
    };
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> polled{{wake_read_.fd(), POLLIN, 0}, {listener_.fd(), POLLIN, 0}};
        for (const Client &c : clients) polled.push_back({c.socket.fd(), POLLIN, 0});
        if (::poll(polled.data(), polled.size(), -1) <= 0) continue;
        if (polled[0].revents != 0) return;
        const std::size_t polled_clients = clients.size();
        if (polled[1].revents & POLLIN) {
            int fd = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                clients.push_back({Socket(fd), {}});
                ++accepted_;
            }
        }
        for (std::size_t i = polled_clients; i-- > 0;) {
            if (polled[i + 2].revents == 0) continue;
            Client &client = clients[i];
            std::uint8_t chunk[4096];
            const ssize_t got = ::recv(client.socket.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
            bool ended = got <= 0;
            if (!ended) client.inbox.insert(client.inbox.end(), chunk, chunk + got);
            while (!ended) {
                Framing framing = frame_element(client.inbox);
                if (framing.state != Framing::State::complete) break;
                const Bytes request(client.inbox.begin(), client.inbox.begin() + static_cast<std::ptrdiff_t>(framing.size));
                client.inbox.erase(client.inbox.begin(), client.inbox.begin() + static_cast<std::ptrdiff_t>(framing.size));
                const std::optional<LdapMessageView> view = view_message(request);
                if (!view || view->op == ldap::op::abandon_request || view->op == ldap::op::unbind_request) continue;
                if (view->op == ldap::op::bind_request) {
                    send_all(client.socket.fd(), ldap::bind_response(view->id, 0));
                    continue;
                }
                ++broken_;
                switch (fault_) {
                case Fault::close_mid_message:
                    send_all(client.socket.fd(), first_half(honest_answer(*view)));
                    ended = true;
                    break;
                case Fault::garbage: send_all(client.socket.fd(), kGarbage); break;
                case Fault::huge_length: send_all(client.socket.fd(), kHugeHeader); break;
                case Fault::half_then_silence: send_all(client.socket.fd(), first_half(honest_answer(*view))); break;
                case Fault::silence: break;
                case Fault::reset: {
                    linger abortive{1, 0};
                    ::setsockopt(client.socket.fd(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                    ended = true;
                    break;
                }
                }
            }
            if (ended) clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

}  // namespace qortest
