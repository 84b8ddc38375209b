// Loopback peers of the fuzz programs, all on 127.0.0.1:
//   - ScriptedPeer: a listener whose connections receive the bytes a fuzz input gives and then
//     the end of the stream;
//   - the referral servers: a port where nothing answers and an answering server that answers
//     every request at once: with success, unless the DN it names is "refer:URL..." (result 9
//     with the referral text of the rest, so that referrals can lead on from server to server)
//     or "code:N" (result code N, the DN as matched DN). Every other port is mapped onto
//     one of the two (odd ports to the answering server, even ports to the closed one), and every
//     host name resolves to 127.0.0.1, so a referral to any server is followed at once and never
//     leaves the machine or waits for a name server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>

namespace qorfuzz {

class ScriptedPeer {
public:
    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

    std::uint16_t port() const { return port_; }

    // Takes the connection a session has just opened to port(); fails the run when none arrives
    // within a second.
    void accept_session();

    // Sends `bytes` on the accepted connection and ends the stream (the connection stays open for
    // reading until close()). Fails the run when the bytes cannot all be sent.
    void send_and_end(const std::uint8_t *bytes, std::size_t size);

    // Accepts the next connection and sends `bytes` on it in the background, for a caller that
    // blocks until the answers arrive (and may close the connection before it has read them
    // all); the bytes are copied.
    void serve_in_background(const std::uint8_t *bytes, std::size_t size);

    // Closes the accepted connection (after the background sending has ended).
    void close();

private:
    // Sends everything and ends the stream; a session that has closed its end meanwhile ends
    // the sending when `session_may_leave`, else it fails the run.
    void send_all(const std::uint8_t *bytes, std::size_t size, bool session_may_leave);
    void drop_connection();

    int listener_ = -1;
    int connection_ = -1;
    std::uint16_t port_ = 0;
    std::thread sender_;
};

// Starts the referral servers and maps every port other than `keep` (the ports of the program's
// own peers) onto them. Idempotent. Answers the answering server's port.
std::uint16_t start_referral_servers(const std::uint16_t *keep, std::size_t keep_count);

// The start of a program whose sessions talk to a scripted peer and chase referrals away from it:
// the runtime, the peer, and the referral servers for every port but the peer's. The peer lives as
// long as the program.
ScriptedPeer *start_peer_with_referral_servers();

}  // namespace qorfuzz
