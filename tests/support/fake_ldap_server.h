// A scripted LDAP server for protocol tests.
//
// The server listens on 127.0.0.1 at a kernel-chosen port as soon as it is constructed. The test
// writes a script (a linear list of steps), starts it, runs the client, then calls finish():
//
//   qortest::FakeLdapServer server;
//   server.accept()
//         .expect(ldap::bind_request(1, 3, "cn=admin,o=example", "secret"))
//         .reply(ldap::bind_response(1, ldap::code::success))
//         .expect_request(ldap::op::search_request, 2)
//         .reply({ldap::search_entry(2, "cn=a,o=example", {}), ldap::search_done(2, 0)});
//   server.start();
//   ... drive the client against server.port() ...
//   server.finish();
//
// Steps run in order on one server thread. accept() takes the next client connection; the steps
// after it act on that connection until another accept() or on_connection(). Requests are framed
// as whole BER elements; an expect step takes the connection's next request, in arrival order.
// Connections not named by the current step are still read, so their requests wait for later
// steps and a client that writes on several connections never blocks.
//
// Failures (a request that differs, a connection closed while a request was expected, a step
// that waited longer than the step time-out, a request nobody expected, a connection nobody
// expected, a script that did not complete) are collected and reported by finish() as
// GoogleTest non-fatal failures on the calling thread, so EXPECT_NONFATAL_FAILURE can catch
// them. The first failure aborts the script: every connection is closed at once, so a client
// waiting for an answer sees the end of the stream instead of hanging.
//
// After the last step the server keeps every open connection open and keeps reading. Requests
// arriving then are unexpected, except an unbind (clients end sessions with one) and anything on
// a connection marked hold(). The destructor finishes the script if finish() was not called.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/ber_builder.h"

namespace qortest {

namespace detail {
struct ScriptStep;  // one step of a script, defined with the server
}

// A request received by the server.
struct ReceivedRequest {
    std::size_t connection = 0;  // accept order, from 0
    Bytes bytes;                 // the whole element
    std::int64_t id = -1;        // message id, -1 when the element is not an LDAP message
    std::uint8_t op = 0;         // protocol-operation tag, 0 when not an LDAP message
};

using RequestPredicate = std::function<bool(const ReceivedRequest &)>;
using ReplyMaker = std::function<Bytes(const ReceivedRequest &)>;

// Any message id, for expect_request.
inline constexpr std::int64_t kAnyId = -1;

class FakeLdapServer {
public:
    using Milliseconds = std::chrono::milliseconds;
    using Microseconds = std::chrono::microseconds;   // delays (milliseconds convert to it)

    FakeLdapServer();
    ~FakeLdapServer();
    FakeLdapServer(const FakeLdapServer &) = delete;
    FakeLdapServer &operator=(const FakeLdapServer &) = delete;

    std::uint16_t port() const;
    std::string host_port() const;  // "127.0.0.1:PORT"
    std::string url() const;        // "ldap://127.0.0.1:PORT/"

    // ---- Script (only before start()) ----

    // Waits for the next client connection; later steps act on it.
    FakeLdapServer &accept();
    // Later steps act on connection `index` (accept order), which an earlier accept() took.
    FakeLdapServer &on_connection(std::size_t index);

    // The next request equals these bytes exactly.
    FakeLdapServer &expect(Bytes request);
    FakeLdapServer &expect_hex(std::string_view hex_text);
    // The next request is an LDAP message with this operation tag (and id, unless kAnyId).
    FakeLdapServer &expect_request(std::uint8_t op, std::int64_t id = kAnyId);
    // The next request, whatever it is.
    FakeLdapServer &expect_any();
    // The next request satisfies `predicate`; `description` names it in failure reports.
    FakeLdapServer &expect_matching(std::string description, RequestPredicate predicate);
    // The client closes the connection; an unbind before the close is allowed.
    FakeLdapServer &expect_close();
    // The next request is a bind request, answered with a bind response of `result_code` and
    // the request's own message id.
    FakeLdapServer &answer_bind(int result_code = 0);

    // Writes the bytes in one write. Writing to a client that has already gone is not a failure
    // in itself (a client may give up waiting); the bytes are dropped and a later expect step
    // on the connection reports the close.
    FakeLdapServer &reply(Bytes bytes);
    // Writes several messages in one write (to exercise the client's read-ahead).
    FakeLdapServer &reply(std::initializer_list<Bytes> messages);
    // Writes what `make` returns for the request the last expect step on this connection took
    // (use it to echo a message id the test cannot predict).
    FakeLdapServer &reply_with(ReplyMaker make);
    // Writes the bytes in pieces: cut at each offset in `cuts` (ascending), waiting `gap`
    // between pieces.
    FakeLdapServer &reply_in_pieces(Bytes bytes, std::vector<std::size_t> cuts, Microseconds gap);
    // Writes the first `prefix` bytes of the message, then closes the connection.
    FakeLdapServer &close_mid_message(Bytes message, std::size_t prefix);
    // Writes bytes that cannot start an LDAP message.
    FakeLdapServer &send_garbage(Bytes garbage = bytes_of("\xff garbage, not BER"));
    // Waits, still reading every connection.
    FakeLdapServer &delay(Microseconds duration);
    // Closes the connection in order (FIN).
    FakeLdapServer &close();
    // Closes the connection abortively (RST).
    FakeLdapServer &reset();
    // Never answers again on this connection: it stays open until the server stops, and
    // requests arriving on it are recorded without counting as unexpected.
    FakeLdapServer &hold();

    // How long one step may wait for a connection or a request before the script fails
    // (default 10 s). Delays are not bounded by it.
    FakeLdapServer &step_timeout(Milliseconds limit);

    // ---- Running ----

    // Runs the script on the server thread. A second call does nothing.
    void start();
    // Waits up to `limit` for the script to end (completed or failed); true when it has.
    bool wait_until_done(Milliseconds limit);
    // Waits up to `limit` for the script to end, stops the server (closing every connection)
    // and reports each failure with ADD_FAILURE. Later calls do nothing.
    void finish(Milliseconds limit = std::chrono::seconds(5));

    // ---- Observations (safe at any time; complete after finish()) ----

    std::size_t connections_accepted() const;
    // Requests received on one connection, in order, including those no step consumed.
    std::vector<Bytes> requests(std::size_t connection) const;
    std::vector<ReceivedRequest> all_requests() const;
    bool client_closed(std::size_t connection) const;
    bool unbind_received(std::size_t connection) const;
    // An unbind arrived on the connection and the client closed it afterwards. A close the
    // client makes just before finish() is seen reliably only when the script ends with
    // expect_close().
    bool unbind_before_close(std::size_t connection) const;
    // The failures collected so far, as finish() would report them.
    std::vector<std::string> failures() const;

private:
    struct Impl;
    FakeLdapServer &add_step(detail::ScriptStep step);

    std::unique_ptr<Impl> impl_;
};

}  // namespace qortest
