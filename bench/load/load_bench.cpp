// load_bench: how long `qords add -f FILE` takes to load N entries (default 20,000) through one
// session, against a replay of the same add requests, encoded before the clock starts, over one
// connection to the same slapd: the replay writes each request and reads its answer, which is
// what the server and the socket allow a client that applies records in order. A pipelined
// replay (requests written ahead of the answers) is shown beside it.
//
//   load_bench [--entries N] [--rounds R] [--sync]
//
// Each round loads the entries with the replay, deletes them, loads them with qords, deletes
// them again; the best round of each counts. slapd runs with dbnosync unless --sync is given, so
// that the figures show the clients rather than the disk's flushes (which take the same time for
// both).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ber_reader.h"
#include "tests/support/ldap_messages.h"
#include "tests/support/slapd.h"

namespace {

using Clock = std::chrono::steady_clock;
using qortest::Bytes;
namespace ldap = qortest::ldap;

constexpr const char *kParent = "ou=load,o=example";
constexpr auto kAnswerLimit = std::chrono::seconds(30);

struct Entry {
    std::string dn;
    std::vector<ldap::Attribute> attributes;
};

std::vector<Entry> make_entries(int count) {
    std::vector<Entry> entries;
    for (int i = 0; i < count; ++i) {
        char uid[16];
        std::snprintf(uid, sizeof uid, "user%05d", i);
        entries.push_back(Entry{std::string("uid=") + uid + "," + kParent,
                                {{"objectClass", {"top", "person", "organizationalPerson", "inetOrgPerson"}},
                                 {"uid", {uid}},
                                 {"cn", {"User " + std::to_string(i)}},
                                 {"sn", {"Number" + std::to_string(i)}},
                                 {"mail", {std::string(uid) + "@example.org"}},
                                 {"telephoneNumber", {"+1 555 " + std::to_string(10000 + i)}},
                                 {"description", {"an entry of the load benchmark"}}}});
    }
    return entries;
}

void write_ldif(const std::string &path, const std::vector<Entry> &entries) {
    std::ofstream out(path, std::ios::binary);
    for (const Entry &entry : entries) {
        out << "dn: " << entry.dn << "\n";
        for (const ldap::Attribute &attribute : entry.attributes)
            for (const std::string &value : attribute.values) out << attribute.type << ": " << value << "\n";
        out << "\n";
    }
    if (!out) throw std::runtime_error("cannot write " + path);
}

// One LDAP connection that writes pre-encoded requests and frames the answers.
class Connection {
public:
    explicit Connection(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        if (fd_ < 0) throw std::runtime_error("socket failed");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to slapd");
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval limit{static_cast<time_t>(kAnswerLimit.count()), 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    ~Connection() { ::close(fd_); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    void send(const Bytes &request) {
        for (size_t done = 0; done < request.size();) {
            const ssize_t n = ::write(fd_, request.data() + done, request.size() - done);
            if (n <= 0) throw std::runtime_error("cannot write to slapd");
            done += static_cast<size_t>(n);
        }
    }

    // The result code of the next answer; throws when it does not come in time or is malformed.
    int result_code() {
        for (;;) {
            const qortest::Framing framing = qortest::frame_element(std::span(buffer_).subspan(start_));
            if (framing.state == qortest::Framing::State::invalid) throw std::runtime_error("bad answer: " + framing.reason);
            if (framing.state == qortest::Framing::State::complete) {
                const qortest::BerNode message = qortest::parse_element(std::span(buffer_).subspan(start_, framing.size));
                start_ += framing.size;
                if (start_ == buffer_.size()) {
                    buffer_.clear();
                    start_ = 0;
                }
                return static_cast<int>(message.at(1).at(0).integer());
            }
            std::uint8_t chunk[65536];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) throw std::runtime_error("slapd did not answer in time");
            buffer_.insert(buffer_.end(), chunk, chunk + n);
        }
    }

    void apply(const Bytes &request, const char *what) {
        send(request);
        if (const int code = result_code(); code != 0)
            throw std::runtime_error(std::string(what) + " failed with code " + std::to_string(code));
    }

private:
    int fd_;
    Bytes buffer_;
    size_t start_ = 0;
};

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double replay(Connection &connection, const std::vector<Bytes> &requests) {
    const Clock::time_point start = Clock::now();
    for (const Bytes &request : requests) connection.apply(request, "a replayed add");
    return seconds_since(start);
}

// slapd closes a connection that has more requests pending than it allows (conn_max_pending),
// so the pipeline keeps a window of requests ahead of the answers.
double pipelined_replay(Connection &connection, const std::vector<Bytes> &requests) {
    constexpr size_t kWindow = 64;
    const Clock::time_point start = Clock::now();
    size_t sent = 0;
    int failures = 0;
    for (size_t answered = 0; answered < requests.size(); ++answered) {
        while (sent < requests.size() && sent - answered < kWindow) connection.send(requests[sent++]);
        failures += connection.result_code() != 0 ? 1 : 0;
    }
    if (failures != 0) throw std::runtime_error(std::to_string(failures) + " pipelined adds failed");
    return seconds_since(start);
}

double qords_load(const qortest::Slapd &server, const std::string &ldif) {
    const std::string program = QOR_BIN_DIR "/qords";
    std::vector<std::string> words = {program, "-D", server.admin_dn(), "-w", qortest::Slapd::admin_password,
                                      "-H", "127.0.0.1", "-p", std::to_string(server.port()), "add", "-f", ldif};
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot run " + program);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double elapsed = seconds_since(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("qords add -f failed");
    return elapsed;
}

int option_value(int argc, char **argv, int &i) {
    if (i + 1 >= argc) throw std::runtime_error(std::string(argv[i]) + " needs a number");
    return std::stoi(argv[++i]);
}

}  // namespace

int main(int argc, char **argv) try {
    int count = 20000;
    int rounds = 2;
    bool sync = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--entries") {
            count = option_value(argc, argv, i);
        } else if (word == "--rounds") {
            rounds = option_value(argc, argv, i);
        } else if (word == "--sync") {
            sync = true;
        } else {
            std::fprintf(stderr, "usage: load_bench [--entries N] [--rounds R] [--sync]\n");
            return 2;
        }
    }
    qortest::SlapdOptions options;
    if (!sync) options.extra_database_config = {"dbnosync"};
    const qortest::Slapd server(options);
    const std::vector<Entry> entries = make_entries(count);
    const std::string ldif = (server.directory() / "load.ldif").string();
    write_ldif(ldif, entries);

    // Message ids go on from the bind's; each round's requests get their own.
    Connection connection(server.port());
    int64_t id = 1;
    connection.apply(ldap::bind_request(id++, 3, server.admin_dn(), qortest::Slapd::admin_password), "the bind");
    connection.apply(ldap::add_request(id++, kParent, {{"objectClass", {"top", "organizationalUnit"}}, {"ou", {"load"}}}),
                     "the parent's add");
    const auto encode_adds = [&] {
        std::vector<Bytes> requests;
        for (const Entry &entry : entries) requests.push_back(ldap::add_request(id++, entry.dn, entry.attributes));
        return requests;
    };
    const auto delete_all = [&] {
        for (const Entry &entry : entries) connection.apply(ldap::delete_request(id++, entry.dn), "a delete");
    };

    double best_replay = 1e300, best_pipelined = 1e300, best_qords = 1e300;
    for (int round = 0; round < rounds; ++round) {
        best_replay = std::min(best_replay, replay(connection, encode_adds()));
        delete_all();
        best_pipelined = std::min(best_pipelined, pipelined_replay(connection, encode_adds()));
        delete_all();
        best_qords = std::min(best_qords, qords_load(server, ldif));
        delete_all();
    }
    std::printf("load of %d entries, best of %d rounds, slapd %s:\n", count, rounds, sync ? "syncing each write" : "with dbnosync");
    std::printf("  replay, one request at a time: %8.3f s  %8.0f entries/s\n", best_replay, count / best_replay);
    std::printf("  replay, pipelined:             %8.3f s  %8.0f entries/s\n", best_pipelined, count / best_pipelined);
    std::printf("  qords add -f:                  %8.3f s  %8.0f entries/s  (%.2fx the replay, %.2fx pipelined)\n",
                best_qords, count / best_qords, best_qords / best_replay, best_qords / best_pipelined);
    return 0;
} catch (const std::exception &error) {
    std::fprintf(stderr, "load_bench: %s\n", error.what());
    return 1;
}
