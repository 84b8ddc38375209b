#include "engine_support.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/ber_reader.h"

namespace enginetest {

void EngineTest::SetUp() {
    ASSERT_TRUE(qortest::module_loaded());
    pools_before_ = qorhost_live_pools();
}

void EngineTest::TearDown() {
    qorhost_fail_reset();
    EXPECT_EQ(qorhost_live_pools(), pools_before_) << "a session pool outlived the test";
}

LDAP *open_session(std::uint16_t port, int32_t timelimit_ms) {
    LDAP *ld = ldap_open("127.0.0.1", port);
    EXPECT_NE(ld, nullptr) << "ldap_open to port " << port;
    if (ld != nullptr) ld->ld_timelimit = timelimit_ms;
    return ld;
}

long live_blocks(LDAP *ld) {
    return qortest::pool_stats(ld->ld_pool).live_blocks;
}

int32_t send_search(LDAP *ld, const char *base, int32_t scope) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) return -1;
    int32_t id = ++ld->ld_last_msgid;
    if (berprnt(ber, "{it{seeiibts{v}}}", id, LDAP_REQ_SEARCH, base, scope, 0, 0, 0, 0, 0x87, "objectclass",
                static_cast<char **>(nullptr)) == -1) {
        berfree(ber, 1);
        ld->ld_errno = LDAP_ENCODING_ERROR;
        return -1;
    }
    return send_initial_request(ld, LDAP_REQ_SEARCH, base, ber);
}

Bytes search_request_bytes(std::int64_t id, const std::string &base, int scope) {
    ldap::Search search;
    search.base = base;
    search.scope = scope;
    search.filter = ldap::filter::present("objectclass");
    return ldap::search_request(id, search);
}

int32_t send_delete(LDAP *ld, const char *dn) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) return -1;
    int32_t id = ++ld->ld_last_msgid;
    if (berprnt(ber, "{its}", id, LDAP_REQ_DELETE, dn) == -1) {
        berfree(ber, 1);
        ld->ld_errno = LDAP_ENCODING_ERROR;
        return -1;
    }
    return send_initial_request(ld, LDAP_REQ_DELETE, dn, ber);
}

LDAPConnection *connection_to(LDAP *ld, std::uint16_t port) {
    for (LDAPConnection *conn = ld->ld_connections; conn != nullptr; conn = conn->cn_next) {
        if (conn->cn_server != nullptr && conn->cn_server->sv_host != nullptr &&
            std::string(conn->cn_server->sv_host) == "127.0.0.1" && conn->cn_server->sv_port == port) {
            return conn;
        }
    }
    return nullptr;
}

int connection_count(LDAP *ld) {
    int count = 0;
    for (LDAPConnection *conn = ld->ld_connections; conn != nullptr; conn = conn->cn_next) ++count;
    return count;
}

int pending_count(LDAP *ld) {
    int count = 0;
    for (LDAPPendingRequest *rq = ld->ld_pending_requests; rq != nullptr; rq = rq->rq_next) ++count;
    return count;
}

std::uint16_t dead_port() {
    return qortest::free_loopback_port();
}

AnsweringServer::AnsweringServer(Answer answer) : answer_(std::move(answer)) {
    listener_ = qortest::listen_loopback(port_);
    thread_ = std::thread([this] { run(); });
}

AnsweringServer::~AnsweringServer() {
    stop_ = true;
    thread_.join();
}

void AnsweringServer::run() {
    struct Client {
        qortest::Socket socket;
        Bytes buffer;
        std::size_t index;
    };
    std::vector<Client> clients;
    while (!stop_) {
        std::vector<pollfd> polled{{listener_.fd(), POLLIN, 0}};
        for (const Client &c : clients) polled.push_back({c.socket.fd(), POLLIN, 0});
        if (::poll(polled.data(), polled.size(), 20) <= 0) continue;
        const std::size_t polled_clients = clients.size();
        if (polled[0].revents & POLLIN) {
            int fd = ::accept(listener_.fd(), nullptr, nullptr);
            if (fd >= 0) clients.push_back({qortest::Socket(fd), {}, accepted_++});
        }
        for (std::size_t i = polled_clients; i-- > 0;) {
            if ((polled[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            Client &client = clients[i];
            std::uint8_t chunk[4096];
            ssize_t got = ::recv(client.socket.fd(), chunk, sizeof chunk, 0);
            if (got <= 0) {
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            client.buffer.insert(client.buffer.end(), chunk, chunk + got);
            for (;;) {
                qortest::Framing framing = qortest::frame_element(client.buffer);
                if (framing.state != qortest::Framing::State::complete) break;
                qortest::ReceivedRequest request;
                request.connection = client.index;
                request.bytes.assign(client.buffer.begin(), client.buffer.begin() + static_cast<std::ptrdiff_t>(framing.size));
                client.buffer.erase(client.buffer.begin(), client.buffer.begin() + static_cast<std::ptrdiff_t>(framing.size));
                if (auto view = qortest::view_message(request.bytes)) {
                    request.id = view->id;
                    request.op = view->op;
                }
                for (const Bytes &reply : answer_(request)) {
                    ::send(client.socket.fd(), reply.data(), reply.size(), MSG_NOSIGNAL);
                }
            }
        }
    }
}

}  // namespace enginetest
