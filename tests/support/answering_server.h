// A server that answers every request through a function and never complains: it accepts any
// number of connections on 127.0.0.1 and closes a connection when the client does. For
// allocation-failure sweeps, where a failure may stop the client anywhere in a script.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "tests/support/ber_builder.h"
#include "tests/support/fake_ldap_server.h"
#include "tests/support/loopback.h"

namespace qortest {

class AnsweringServer {
public:
    // Called on the server thread for each whole request; the messages returned are written
    // back in order on the request's connection.
    using Answer = std::function<std::vector<Bytes>(const ReceivedRequest &)>;

    explicit AnsweringServer(Answer answer);
    ~AnsweringServer();
    AnsweringServer(const AnsweringServer &) = delete;
    AnsweringServer &operator=(const AnsweringServer &) = delete;

    std::uint16_t port() const { return port_; }
    std::size_t connections_accepted() const { return accepted_.load(); }

private:
    void run();

    Answer answer_;
    Socket listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> accepted_{0};
    std::thread thread_;
};

}  // namespace qortest
