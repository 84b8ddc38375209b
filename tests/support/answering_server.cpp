#include "tests/support/answering_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/ber_reader.h"

namespace qortest {

AnsweringServer::AnsweringServer(Answer answer) : answer_(std::move(answer)) {
    listener_ = listen_loopback(port_);
    thread_ = std::thread([this] { run(); });
}

AnsweringServer::~AnsweringServer() {
    stop_ = true;
    thread_.join();
}

void AnsweringServer::run() {
    struct Client {
        Socket socket;
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
            if (fd >= 0) clients.push_back({Socket(fd), {}, accepted_++});
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
                Framing framing = frame_element(client.buffer);
                if (framing.state != Framing::State::complete) break;
                ReceivedRequest request;
                request.connection = client.index;
                request.bytes.assign(client.buffer.begin(), client.buffer.begin() + static_cast<std::ptrdiff_t>(framing.size));
                client.buffer.erase(client.buffer.begin(), client.buffer.begin() + static_cast<std::ptrdiff_t>(framing.size));
                if (auto view = view_message(request.bytes)) {
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

}  // namespace qortest
