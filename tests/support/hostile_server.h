// A server that breaks sessions on purpose, for tests of what a client does when its server
// misbehaves in the middle of an answer.
//
//   qortest::HostileServer server(qortest::Fault::reset);
//   dsopen(..., "127.0.0.1", server.port(), ...);   // binds succeed
//   dsrslvdn(...);                                  // the search meets the fault
//
// It listens on 127.0.0.1 at a kernel-chosen port and serves any number of connections, one
// thread for all of them. Every bind is answered with success; abandon and unbind requests are
// taken silently; every other request meets the fault, on every connection, so a client that
// opens a new connection finds the same server again. The destructor closes everything.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <thread>

#include "tests/support/loopback.h"

namespace qortest {

// What the server does instead of answering a request.
enum class Fault {
    close_mid_message,   // writes half of an answer, then closes the connection in order (FIN)
    garbage,             // writes bytes that cannot begin a BER element; the connection stays open
    huge_length,         // writes the header of a message of 2 GiB and a few bytes of it; stays open
    half_then_silence,   // writes half of an answer, then nothing more; stays open
    silence,             // never answers; stays open
    reset,               // resets the connection (RST)
};

// A lower-case name of the fault, usable in test names ("close_mid_message").
std::string_view fault_name(Fault fault);

class HostileServer {
public:
    explicit HostileServer(Fault fault);
    ~HostileServer();
    HostileServer(const HostileServer &) = delete;
    HostileServer &operator=(const HostileServer &) = delete;

    std::uint16_t port() const { return port_; }
    std::size_t connections_accepted() const { return accepted_.load(); }
    // Requests that met the fault so far.
    std::size_t requests_broken() const { return broken_.load(); }

private:
    void run();

    const Fault fault_;
    Socket listener_;
    Socket wake_read_, wake_write_;
    std::uint16_t port_ = 0;
    std::atomic<std::size_t> accepted_{0};
    std::atomic<std::size_t> broken_{0};
    std::thread thread_;
};

}  // namespace qortest
