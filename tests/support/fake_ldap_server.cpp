#include "tests/support/fake_ldap_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "tests/support/ber_reader.h"
#include "tests/support/ldap_messages.h"
#include "tests/support/loopback.h"

namespace qortest {

namespace {

using Clock = std::chrono::steady_clock;

// Longest hex dump put into one failure message.
constexpr std::size_t kDumpLimit = 256;

std::string dump(std::span<const std::uint8_t> bytes) {
    std::string out = "(" + std::to_string(bytes.size()) + " bytes) ";
    if (bytes.size() <= kDumpLimit) return out + to_hex(bytes);
    return out + to_hex(bytes.first(kDumpLimit)) + " ...";
}

std::string op_name(std::uint8_t op) { return "0x" + to_hex(std::span(&op, 1)); }

std::string describe_request(const ReceivedRequest &r) {
    std::string text = "connection " + std::to_string(r.connection);
    if (r.op != 0) text += ", id " + std::to_string(r.id) + ", op " + op_name(r.op);
    return text + ": " + dump(r.bytes);
}

std::string difference(const Bytes &expected, const Bytes &received) {
    std::size_t offset = 0;
    while (offset < expected.size() && offset < received.size() && expected[offset] == received[offset]) ++offset;
    return "differs from the expected request at offset " + std::to_string(offset) + "\n  expected " +
           dump(expected) + "\n  received " + dump(received);
}

}  // namespace

namespace detail {

struct ScriptStep {
    enum class Kind { accept, expect, expect_close, write, write_with, write_pieces, delay, close, reset, hold };
    Kind kind = Kind::accept;
    std::size_t connection = 0;
    std::string description;
    Bytes bytes;                    // expect (exact), write, write_pieces
    RequestPredicate predicate;     // expect by predicate when set
    ReplyMaker maker;               // write_with
    std::vector<std::size_t> cuts;  // write_pieces
    std::chrono::microseconds duration{0};  // delay, write_pieces gap
    bool close_after = false;       // write: close once written
};

}  // namespace detail

namespace {

using Step = detail::ScriptStep;

Step make_step(Step::Kind kind, std::string description) {
    Step s;
    s.kind = kind;
    s.description = std::move(description);
    return s;
}

}  // namespace

namespace {

// What the server thread knows about one connection.
struct Connection {
    Socket socket;
    Bytes inbox;                              // bytes not yet framed into a request
    std::deque<ReceivedRequest> unconsumed;   // requests no step has taken yet
    std::optional<ReceivedRequest> last_taken;
    bool eof = false;
    bool holding = false;
};

// What tests may observe about one connection (shared, under the mutex).
struct ConnectionRecord {
    std::vector<ReceivedRequest> requests;
    bool client_closed = false;
    bool unbind = false;
    bool unbind_before_close = false;
};

enum class ScriptState { not_started, running, completed, failed };

}  // namespace

struct FakeLdapServer::Impl {
    Socket listener;
    std::uint16_t port = 0;

    // Script, fixed once started.
    std::vector<Step> script;
    std::size_t accepts_scripted = 0;
    std::optional<std::size_t> current;
    Milliseconds step_limit{10'000};

    // Thread control.
    std::thread thread;
    Socket wake_read, wake_write;
    std::atomic<bool> stop_requested{false};
    bool started = false;
    bool finished = false;

    // Shared with the test thread.
    mutable std::mutex mutex;
    std::condition_variable done;
    ScriptState state = ScriptState::not_started;
    std::size_t step_index = 0;
    std::vector<std::string> failures;
    std::vector<ConnectionRecord> records;

    // Server thread only (and the test thread after join).
    std::vector<Connection> connections;
    bool aborted = false;

    void fail(std::string text) {
        std::lock_guard lock(mutex);
        failures.push_back(std::move(text));
        aborted = true;
    }

    bool stopping() const { return stop_requested.load(); }

    std::string step_label(std::size_t i) const {
        return "step " + std::to_string(i + 1) + " of " + std::to_string(script.size()) + " (" +
               script[i].description + ")";
    }

    // ---- I/O ----

    // Reads everything available on one connection and frames it into requests.
    void read_available(std::size_t index) {
        Connection &c = connections[index];
        for (;;) {
            std::uint8_t chunk[16384];
            ssize_t n = ::recv(c.socket.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                c.inbox.insert(c.inbox.end(), chunk, chunk + n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            c.eof = true;  // end of stream, or reset by the client
            break;
        }
        frame_requests(index);
        if (c.eof) mark_client_closed(index);
    }

    void mark_client_closed(std::size_t index) {
        connections[index].eof = true;
        std::lock_guard lock(mutex);
        ConnectionRecord &r = records[index];
        if (r.client_closed) return;
        r.client_closed = true;
        r.unbind_before_close = r.unbind;
    }

    void frame_requests(std::size_t index) {
        Connection &c = connections[index];
        for (;;) {
            Framing f = frame_element(c.inbox);
            if (f.state == Framing::State::need_more) {
                if (c.eof && !c.inbox.empty())
                    fail("connection " + std::to_string(index) + ": the client closed in the middle of a request " +
                         dump(c.inbox));
                return;
            }
            if (f.state == Framing::State::invalid) {
                fail("connection " + std::to_string(index) + ": the client sent bytes that are not a BER element (" +
                     f.reason + ") " + dump(c.inbox));
                c.inbox.clear();
                return;
            }
            ReceivedRequest r;
            r.connection = index;
            r.bytes.assign(c.inbox.begin(), c.inbox.begin() + static_cast<std::ptrdiff_t>(f.size));
            c.inbox.erase(c.inbox.begin(), c.inbox.begin() + static_cast<std::ptrdiff_t>(f.size));
            if (auto view = view_message(r.bytes)) {
                r.id = view->id;
                r.op = view->op;
            }
            {
                std::lock_guard lock(mutex);
                records[index].requests.push_back(r);
                if (r.op == ldap::op::unbind_request) records[index].unbind = true;
            }
            c.unconsumed.push_back(std::move(r));
        }
    }

    // Waits until something happens on a connection, the listener (when `accepting`), the wake
    // pipe, or the deadline; reads whatever arrived.
    void pump(std::optional<Clock::time_point> deadline, bool accepting) {
        std::vector<pollfd> fds{{wake_read.fd(), POLLIN, 0}};
        if (accepting) fds.push_back({listener.fd(), POLLIN, 0});
        std::vector<std::size_t> polled;
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (connections[i].socket.valid() && !connections[i].eof) {
                fds.push_back({connections[i].socket.fd(), POLLIN, 0});
                polled.push_back(i);
            }
        }
        // To the nanosecond, so that delays shorter than a millisecond last what they say.
        timespec wait{};
        timespec *timeout = nullptr;
        if (deadline) {
            const auto left = std::clamp<long long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now()).count(), 0,
                60'000'000'000LL);
            wait.tv_sec = static_cast<time_t>(left / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(left % 1'000'000'000);
            timeout = &wait;
        }
        int ready = ::ppoll(fds.data(), fds.size(), timeout, nullptr);
        if (ready <= 0) return;
        const std::size_t first_connection = accepting ? 2 : 1;
        for (std::size_t k = 0; k < polled.size(); ++k)
            if (fds[first_connection + k].revents != 0) read_available(polled[k]);
    }

    // Accepts one connection if one is waiting.
    bool try_accept() {
        int fd = ::accept4(listener.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return false;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connections.emplace_back().socket = Socket(fd);
        std::lock_guard lock(mutex);
        records.emplace_back();
        return true;
    }

    bool write_all(std::size_t index, std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
        Connection &c = connections[index];
        if (!c.socket.valid()) {
            fail("cannot write to connection " + std::to_string(index) + ": the server closed it");
            return false;
        }
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(c.socket.fd(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (stopping()) return false;
                if (Clock::now() >= deadline) {
                    fail("connection " + std::to_string(index) + ": the client did not read what was written");
                    return false;
                }
                pollfd fds[2] = {{wake_read.fd(), POLLIN, 0}, {c.socket.fd(), POLLOUT, 0}};
                ::poll(fds, 2, 10);
                continue;
            }
            if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
                // The client is gone (a client that gave up waiting, say): the rest of the
                // answer is dropped, and a later expect step reports the close.
                mark_client_closed(index);
                return true;
            }
            fail("cannot write to connection " + std::to_string(index) + ": " + std::strerror(errno));
            return false;
        }
        return true;
    }

    // Closes a connection after reading what already arrived, so that unread bytes do not turn
    // the close into a reset.
    void close_connection(std::size_t index) {
        Connection &c = connections[index];
        if (!c.socket.valid()) return;
        if (!c.eof) read_available(index);
        c.socket.reset();
    }

    // ---- Steps ----

    // Waits for `ready` to hold, pumping meanwhile; false (after recording why) when the step
    // time-out passes, the script aborted, or the server is stopping.
    template <typename Ready>
    bool wait_for(std::size_t step, bool accepting, Ready ready) {
        const auto deadline = Clock::now() + step_limit;
        for (;;) {
            if (aborted || stopping()) return false;
            if (ready()) return !aborted;
            if (Clock::now() >= deadline) {
                fail(step_label(step) + " waited longer than " + std::to_string(step_limit.count()) + " ms");
                return false;
            }
            pump(deadline, accepting);
        }
    }

    bool run_accept(std::size_t i) { return wait_for(i, true, [&] { return try_accept(); }); }

    // Takes the next request of the step's connection into `out`.
    bool take_request(std::size_t i, ReceivedRequest &out) {
        const Step &s = script[i];
        Connection &c = connections[s.connection];
        bool ok = wait_for(i, false, [&] {
            if (!c.unconsumed.empty()) return true;
            if (!c.socket.valid()) {
                fail(step_label(i) + ": the server had closed the connection");
                return true;
            }
            if (c.eof) {
                fail(step_label(i) + ": the client closed the connection instead");
                return true;
            }
            return false;
        });
        if (!ok) return false;
        out = c.unconsumed.front();
        c.unconsumed.pop_front();
        c.last_taken = out;
        return true;
    }

    bool run_expect(std::size_t i) {
        const Step &s = script[i];
        ReceivedRequest r;
        if (!take_request(i, r)) return false;
        if (s.predicate) {
            bool matches = false;
            try {
                matches = s.predicate(r);
            } catch (const std::exception &e) {
                fail(step_label(i) + ": the predicate threw: " + e.what());
                return false;
            }
            if (!matches) fail(step_label(i) + ": the request does not match: " + describe_request(r));
            return matches;
        }
        if (r.bytes == s.bytes) return true;
        fail(step_label(i) + ": the request on connection " + std::to_string(s.connection) + " " +
             difference(s.bytes, r.bytes));
        return false;
    }

    bool run_expect_close(std::size_t i) {
        Connection &c = connections[script[i].connection];
        return wait_for(i, false, [&] {
            while (!c.unconsumed.empty()) {
                ReceivedRequest r = c.unconsumed.front();
                c.unconsumed.pop_front();
                if (r.op == ldap::op::unbind_request) continue;
                fail(step_label(i) + ": a request arrived instead: " + describe_request(r));
                return true;
            }
            return c.eof || !c.socket.valid();
        });
    }

    bool run_write(std::size_t i, std::span<const std::uint8_t> bytes) {
        const Step &s = script[i];
        if (!write_all(s.connection, bytes, Clock::now() + step_limit)) return false;
        if (s.close_after) close_connection(s.connection);
        return true;
    }

    bool run_write_with(std::size_t i) {
        const Step &s = script[i];
        const Connection &c = connections[s.connection];
        if (!c.last_taken) {
            fail(step_label(i) + ": no request was taken on this connection yet");
            return false;
        }
        Bytes bytes;
        try {
            bytes = s.maker(*c.last_taken);
        } catch (const std::exception &e) {
            fail(step_label(i) + ": making the reply threw: " + e.what());
            return false;
        }
        return run_write(i, bytes);
    }

    bool run_pieces(std::size_t i) {
        const Step &s = script[i];
        std::size_t from = 0;
        std::vector<std::size_t> ends = s.cuts;
        ends.push_back(s.bytes.size());
        for (std::size_t k = 0; k < ends.size(); ++k) {
            if (connections[s.connection].eof) return true;   // the client is gone: drop the rest
            if (k > 0 && !run_delay(s.duration)) return false;
            auto piece = std::span<const std::uint8_t>(s.bytes).subspan(from, ends[k] - from);
            if (!write_all(s.connection, piece, Clock::now() + step_limit)) return false;
            from = ends[k];
        }
        return true;
    }

    bool run_delay(Microseconds duration) {
        const auto until = Clock::now() + duration;
        while (Clock::now() < until) {
            if (aborted || stopping()) return false;
            pump(until, false);
        }
        return !aborted;
    }

    bool run_reset(std::size_t i) {
        Connection &c = connections[script[i].connection];
        if (!c.socket.valid()) return true;
        linger abortive{1, 0};
        ::setsockopt(c.socket.fd(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        c.socket.reset();
        return true;
    }

    bool run_step(std::size_t i) {
        const Step &s = script[i];
        switch (s.kind) {
        case Step::Kind::accept: return run_accept(i);
        case Step::Kind::expect: return run_expect(i);
        case Step::Kind::expect_close: return run_expect_close(i);
        case Step::Kind::write: return run_write(i, s.bytes);
        case Step::Kind::write_with: return run_write_with(i);
        case Step::Kind::write_pieces: return run_pieces(i);
        case Step::Kind::delay: return run_delay(s.duration);
        case Step::Kind::close: close_connection(s.connection); return true;
        case Step::Kind::reset: return run_reset(i);
        case Step::Kind::hold: connections[s.connection].holding = true; return true;
        }
        return false;
    }

    void set_state(ScriptState s) {
        {
            std::lock_guard lock(mutex);
            state = s;
        }
        done.notify_all();
    }

    // The server thread: the script, then reading until stopped.
    void run() {
        bool completed = true;
        for (std::size_t i = 0; i < script.size(); ++i) {
            {
                std::lock_guard lock(mutex);
                step_index = i;
            }
            if (!run_step(i)) {
                completed = false;
                break;
            }
        }
        if (!completed) {
            // Refuse further connections and end the open ones, so that no client waits on a
            // script that will not go on.
            listener.reset();
            for (std::size_t k = 0; k < connections.size(); ++k) close_connection(k);
            set_state(ScriptState::failed);
        } else {
            set_state(ScriptState::completed);
        }
        while (!stopping()) {
            pump(std::nullopt, completed);
            while (completed && try_accept())
                fail("connection " + std::to_string(connections.size() - 1) + " was not expected by the script");
        }
        // Whatever already arrived: requests, and connections the client completed.
        pump(Clock::now(), false);
        while (completed && listener.valid() && try_accept())
            fail("connection " + std::to_string(connections.size() - 1) + " was not expected by the script");
        for (std::size_t k = 0; k < connections.size(); ++k)
            if (connections[k].socket.valid() && !connections[k].eof) read_available(k);
    }

    // Requests that arrived and that no step took; an unbind at the end and anything on a held
    // connection are not failures.
    void report_unconsumed() {
        for (const Connection &c : connections) {
            if (c.holding) continue;
            for (const ReceivedRequest &r : c.unconsumed)
                if (r.op != ldap::op::unbind_request)
                    failures.push_back("unexpected request on " + describe_request(r));
        }
    }
};

FakeLdapServer::FakeLdapServer() : impl_(std::make_unique<Impl>()) {
    impl_->listener = listen_loopback(impl_->port);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("FakeLdapServer: pipe2 failed");
    impl_->wake_read = Socket(fds[0]);
    impl_->wake_write = Socket(fds[1]);
}

FakeLdapServer::~FakeLdapServer() {
    if (!impl_->finished) finish(::testing::Test::HasFailure() ? Milliseconds(0) : std::chrono::seconds(5));
}

std::uint16_t FakeLdapServer::port() const { return impl_->port; }
std::string FakeLdapServer::host_port() const { return "127.0.0.1:" + std::to_string(impl_->port); }
std::string FakeLdapServer::url() const { return "ldap://" + host_port() + "/"; }

FakeLdapServer &FakeLdapServer::add_step(Step step) {
    if (impl_->started) throw std::logic_error("FakeLdapServer: the script cannot change after start()");
    if (step.kind != Step::Kind::accept) {
        if (!impl_->current) throw std::logic_error("FakeLdapServer: a step before the first accept()");
        step.connection = *impl_->current;
    }
    impl_->script.push_back(std::move(step));
    return *this;
}

FakeLdapServer &FakeLdapServer::accept() {
    const std::size_t index = impl_->accepts_scripted++;
    impl_->current = index;
    Step s = make_step(Step::Kind::accept, "accept connection " + std::to_string(index));
    s.connection = index;
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::on_connection(std::size_t index) {
    if (index >= impl_->accepts_scripted)
        throw std::logic_error("FakeLdapServer: on_connection(" + std::to_string(index) + ") before its accept()");
    impl_->current = index;
    return *this;
}

FakeLdapServer &FakeLdapServer::expect(Bytes request) {
    Step s = make_step(Step::Kind::expect, "expect " + dump(request));
    s.bytes = std::move(request);
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::expect_hex(std::string_view hex_text) { return expect(hex(hex_text)); }

FakeLdapServer &FakeLdapServer::expect_request(std::uint8_t op, std::int64_t id) {
    std::string text = "expect a request with op " + op_name(op);
    if (id != kAnyId) text += " and id " + std::to_string(id);
    return expect_matching(std::move(text),
                           [op, id](const ReceivedRequest &r) { return r.op == op && (id == kAnyId || r.id == id); });
}

FakeLdapServer &FakeLdapServer::expect_any() {
    return expect_matching("expect any request", [](const ReceivedRequest &) { return true; });
}

FakeLdapServer &FakeLdapServer::expect_matching(std::string description, RequestPredicate predicate) {
    Step s = make_step(Step::Kind::expect, std::move(description));
    s.predicate = std::move(predicate);
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::expect_close() {
    Step s = make_step(Step::Kind::expect_close, "expect the client to close");
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::answer_bind(int result_code) {
    expect_request(ldap::op::bind_request);
    return reply_with(
        [result_code](const ReceivedRequest &r) { return ldap::bind_response(r.id, result_code); });
}

FakeLdapServer &FakeLdapServer::reply(Bytes bytes) {
    Step s = make_step(Step::Kind::write, "reply " + dump(bytes));
    s.bytes = std::move(bytes);
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::reply(std::initializer_list<Bytes> messages) { return reply(concat(messages)); }

FakeLdapServer &FakeLdapServer::reply_with(ReplyMaker make) {
    Step s = make_step(Step::Kind::write_with, "reply to the last request");
    s.maker = std::move(make);
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::reply_in_pieces(Bytes bytes, std::vector<std::size_t> cuts, Microseconds gap) {
    for (std::size_t k = 0; k < cuts.size(); ++k)
        if (cuts[k] > bytes.size() || (k > 0 && cuts[k] < cuts[k - 1]))
            throw std::logic_error("FakeLdapServer: reply_in_pieces cuts must ascend within the bytes");
    Step s = make_step(Step::Kind::write_pieces, "reply in " + std::to_string(cuts.size() + 1) + " pieces " + dump(bytes));
    s.bytes = std::move(bytes);
    s.cuts = std::move(cuts);
    s.duration = gap;
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::close_mid_message(Bytes message, std::size_t prefix) {
    if (prefix > message.size()) prefix = message.size();
    message.resize(prefix);
    Step s = make_step(Step::Kind::write, "write " + std::to_string(prefix) + " bytes of a message and close");
    s.bytes = std::move(message);
    s.close_after = true;
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::send_garbage(Bytes garbage) {
    Step s = make_step(Step::Kind::write, "send garbage " + dump(garbage));
    s.bytes = std::move(garbage);
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::delay(Microseconds duration) {
    Step s = make_step(Step::Kind::delay, "delay " + std::to_string(duration.count()) + " µs");
    s.duration = duration;
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::close() {
    Step s = make_step(Step::Kind::close, "close");
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::reset() {
    Step s = make_step(Step::Kind::reset, "reset");
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::hold() {
    Step s = make_step(Step::Kind::hold, "hold");
    return add_step(std::move(s));
}

FakeLdapServer &FakeLdapServer::step_timeout(Milliseconds limit) {
    if (impl_->started) throw std::logic_error("FakeLdapServer: the script cannot change after start()");
    impl_->step_limit = limit;
    return *this;
}

void FakeLdapServer::start() {
    if (impl_->started) return;
    impl_->started = true;
    impl_->state = ScriptState::running;
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

bool FakeLdapServer::wait_until_done(Milliseconds limit) {
    std::unique_lock lock(impl_->mutex);
    return impl_->done.wait_for(lock, limit, [&] {
        return impl_->state == ScriptState::completed || impl_->state == ScriptState::failed;
    });
}

void FakeLdapServer::finish(Milliseconds limit) {
    Impl &m = *impl_;
    if (m.finished) return;
    m.finished = true;
    if (m.started) {
        if (!wait_until_done(limit)) {
            std::lock_guard lock(m.mutex);
            std::string text = "the script did not complete: " + m.step_label(m.step_index) + " was still running";
            for (std::size_t i = m.step_index + 1; i < m.script.size(); ++i) text += "\n  not reached: " + m.step_label(i);
            m.failures.push_back(std::move(text));
        }
        m.stop_requested = true;
        const char wake = 1;
        [[maybe_unused]] ssize_t n = ::write(m.wake_write.fd(), &wake, 1);
        m.thread.join();
        m.report_unconsumed();
    } else if (!m.script.empty()) {
        m.failures.push_back("the script was never started (start() not called)");
    }
    for (std::size_t k = 0; k < m.connections.size(); ++k) m.connections[k].socket.reset();
    m.listener.reset();
    for (const std::string &f : failures()) ADD_FAILURE() << "FakeLdapServer: " << f;
}

std::size_t FakeLdapServer::connections_accepted() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->records.size();
}

std::vector<Bytes> FakeLdapServer::requests(std::size_t connection) const {
    std::lock_guard lock(impl_->mutex);
    std::vector<Bytes> out;
    if (connection < impl_->records.size())
        for (const ReceivedRequest &r : impl_->records[connection].requests) out.push_back(r.bytes);
    return out;
}

std::vector<ReceivedRequest> FakeLdapServer::all_requests() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<ReceivedRequest> out;
    for (const ConnectionRecord &record : impl_->records)
        out.insert(out.end(), record.requests.begin(), record.requests.end());
    return out;
}

bool FakeLdapServer::client_closed(std::size_t connection) const {
    std::lock_guard lock(impl_->mutex);
    return connection < impl_->records.size() && impl_->records[connection].client_closed;
}

bool FakeLdapServer::unbind_received(std::size_t connection) const {
    std::lock_guard lock(impl_->mutex);
    return connection < impl_->records.size() && impl_->records[connection].unbind;
}

bool FakeLdapServer::unbind_before_close(std::size_t connection) const {
    std::lock_guard lock(impl_->mutex);
    return connection < impl_->records.size() && impl_->records[connection].unbind_before_close;
}

std::vector<std::string> FakeLdapServer::failures() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->failures;
}

}  // namespace qortest
