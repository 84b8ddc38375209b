#include "tests/support/slapd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/ber_reader.h"
#include "tests/support/ldap_messages.h"
#include "tests/support/loopback.h"

#ifndef QOR_SOURCE_DIR
#error "QOR_SOURCE_DIR must name the source tree"
#endif

namespace qortest {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char *kSlapd = "/usr/sbin/slapd";
constexpr const char *kSlapadd = "/usr/sbin/slapadd";
constexpr const char *kSlaptest = "/usr/sbin/slaptest";
constexpr const char *kSlapcat = "/usr/sbin/slapcat";
constexpr auto kPoll = 2ms;                // longest sleep of any wait below
constexpr auto kStartLimit = 15s;          // slapd accepting connections
constexpr auto kToolLimit = 30s;           // slapadd, slaptest
constexpr auto kStopLimit = 5s;            // SIGTERM before SIGKILL; SIGSTOP taking hold
constexpr int kLaunchAttempts = 20;        // ports tried when others take them first

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts `argv` with stdout and stderr appended to `log` and no other descriptor of the test
// open (a socket the test closes must not live on in slapd). The child receives SIGTERM when
// the calling thread ends, so no server outlives a crashed test.
pid_t spawn(const std::vector<std::string> &args, const fs::path &log) {
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const std::string log_path = log.string();
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed for " + args[0]);
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        int fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        int null_in = ::open("/dev/null", O_RDONLY);
        if (null_in >= 0) ::dup2(null_in, 0);
        if (::close_range(3, ~0U, 0) != 0)
            for (int other = 3; other < 65536; ++other) ::close(other);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for `pid` up to `limit`; the exit status as waitpid reports it, or nullopt when the
// process is still running.
std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return status;  // not our child any more
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(kPoll);
    }
}

// Waits for `pid` to end, without limit: for a process that has been sent SIGKILL.
void reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Ends `pid` for good: SIGTERM, then SIGKILL after kStopLimit; reaps it.
void kill_and_reap(pid_t pid) {
    ::kill(pid, SIGTERM);
    if (wait_exit(pid, kStopLimit)) return;
    ::kill(pid, SIGKILL);
    reap(pid);
}

// Runs a tool to completion within kToolLimit; its exit status (0 for success) or -1 when it
// had to be killed or did not exit normally.
int run_tool(const std::vector<std::string> &args, const fs::path &log) {
    pid_t pid = spawn(args, log);
    std::optional<int> status = wait_exit(pid, kToolLimit);
    if (!status) {
        kill_and_reap(pid);
        return -1;
    }
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

// True when `port` on 127.0.0.1 can be bound right now (nobody listens there).
bool port_is_free(std::uint16_t port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::bind(s.fd(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
}

// One IPv4 TCP socket of the machine, as /proc/net/tcp lists it. Addresses are written
// "0100007F:1F90" (address and port in hex).
struct TcpSocket {
    std::string local;
    std::string state;           // "0A" listening, "01" established
    unsigned long unread = 0;    // bytes in the receive queue
    unsigned long inode = 0;
};

std::vector<TcpSocket> tcp_sockets() {
    std::vector<TcpSocket> sockets;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, remote, queues, timer, retransmits, uid, timeout;
        TcpSocket s;
        fields >> slot >> s.local >> remote >> s.state >> queues >> timer >> retransmits >> uid >> timeout >> s.inode;
        const std::size_t colon = queues.find(':');
        if (colon != std::string::npos) s.unread = std::stoul(queues.substr(colon + 1), nullptr, 16);
        sockets.push_back(std::move(s));
    }
    return sockets;
}

// How /proc/net/tcp writes 127.0.0.1:port (`any` false) or 0.0.0.0:port.
std::string tcp_address(std::uint16_t port, bool any = false) {
    char text[16];
    std::snprintf(text, sizeof text, "%s:%04X", any ? "00000000" : "0100007F", port);
    return text;
}

// Socket inode of the listener on 127.0.0.1:port (or 0.0.0.0:port); 0 when nobody listens there.
unsigned long listener_inode(std::uint16_t port) {
    for (const TcpSocket &s : tcp_sockets())
        if (s.state == "0A" && (s.local == tcp_address(port) || s.local == tcp_address(port, true))) return s.inode;
    return 0;
}

// True when process `pid` holds the socket with `inode`.
bool process_holds_socket(pid_t pid, unsigned long inode) {
    const std::string target = "socket:[" + std::to_string(inode) + "]";
    std::error_code ec;
    for (const fs::directory_entry &fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code link_error;
        if (fs::read_symlink(fd.path(), link_error).string() == target) return true;
    }
    return false;
}

// True when the listener on `port` is slapd's own: the child runs slapd already (not our image
// between fork and exec, which still holds our descriptors) and holds the listening socket,
// which is not one of ours or another server's that took the port first.
bool listens_itself(pid_t pid, std::uint16_t port) {
    std::error_code ec;
    if (fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) != fs::canonical(kSlapd, ec)) return false;
    const unsigned long inode = listener_inode(port);
    return inode != 0 && process_holds_socket(pid, inode) && !process_holds_socket(::getpid(), inode);
}

}  // namespace

fs::path data_file(std::string_view name) { return fs::path(QOR_SOURCE_DIR) / "tests/support/data" / name; }

SlapdOptions other_directory_options() {
    SlapdOptions o;
    o.suffix = "o=other";
    o.ldif_files = {data_file("other.ldif")};
    return o;
}

Slapd::Slapd(SlapdOptions options) : options_(std::move(options)) {
    for (const char *tool : {kSlapd, kSlapadd})
        if (::access(tool, X_OK) != 0)
            throw std::runtime_error(std::string(tool) + " is not installed (scripts/bootstrap installs slapd)");
    std::string pattern = (fs::temp_directory_path() / "qortest-slapd-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a directory for slapd");
    dir_ = pattern;
    try {
        fs::create_directory(dir_ / "db");
        write_config();
        for (const fs::path &ldif : options_.ldif_files) load(ldif);
        if (!options_.extra_ldif.empty()) {
            std::ofstream(dir_ / "extra.ldif", std::ios::binary) << options_.extra_ldif;
            load(dir_ / "extra.ldif");
        }
        launch(options_.preferred_port);
    } catch (...) {
        stop();
        throw;
    }
}

Slapd::~Slapd() { stop(); }

std::string Slapd::host_port() const { return "127.0.0.1:" + std::to_string(port_); }
std::string Slapd::url() const { return "ldap://" + host_port() + "/"; }
std::string Slapd::ldaps_url() const {
    return tls_port_ != 0 ? "ldaps://127.0.0.1:" + std::to_string(tls_port_) + "/" : std::string();
}

void Slapd::write_config() const {
    std::ofstream conf(dir_ / "slapd.conf");
    conf << "include /etc/ldap/schema/core.schema\n"
            "include /etc/ldap/schema/cosine.schema\n"
            "include /etc/ldap/schema/inetorgperson.schema\n"
         << "include " << (fs::path(QOR_SOURCE_DIR) / "data/schema/qor.schema").string() << "\n"
         << "modulepath /usr/lib/ldap\n"
            "moduleload back_mdb\n"
         << "pidfile " << (dir_ / "slapd.pid").string() << "\n"
         << "argsfile " << (dir_ / "slapd.args").string() << "\n"
         << "allow bind_v2\n";
    if (!options_.referral.empty()) conf << "referral " << options_.referral << "\n";
    if (options_.size_limit) conf << "sizelimit " << *options_.size_limit << "\n";
    if (options_.time_limit) conf << "timelimit " << *options_.time_limit << "\n";
    for (const std::string &line : options_.extra_global_config) conf << line << "\n";
    if (options_.tls) {
        conf << "TLSCACertificateFile " << options_.tls_ca_file.string() << "\n"
             << "TLSCertificateFile " << options_.tls->certificate.string() << "\n"
             << "TLSCertificateKeyFile " << options_.tls->key.string() << "\n";
    }
    conf << "database mdb\n"
         << "suffix \"" << options_.suffix << "\"\n"
         << "rootdn \"" << admin_dn() << "\"\n"
         << "rootpw " << admin_password << "\n"
         << "directory " << (dir_ / "db").string() << "\n"
         << "maxsize 104857600\n"
         << "access to attrs=userPassword by self write by anonymous auth by * none\n"
         << (options_.authenticated_write ? "access to * by users write by * read\n" : "access to * by * read\n");
    for (const std::string &line : options_.extra_database_config) conf << line << "\n";
    if (!conf) throw std::runtime_error("cannot write " + (dir_ / "slapd.conf").string());
}

void Slapd::load(const fs::path &ldif) const {
    const fs::path log = dir_ / "slapadd.log";
    std::vector<std::string> args = {kSlapadd, "-q", "-f", (dir_ / "slapd.conf").string(), "-l", ldif.string()};
    args.insert(args.end(), options_.slapadd_flags.begin(), options_.slapadd_flags.end());
    int status = run_tool(args, log);
    if (status != 0)
        throw std::runtime_error("slapadd could not load " + ldif.string() + " (status " + std::to_string(status) +
                                 "):\n" + read_file(log));
}

void Slapd::launch(std::uint16_t port, PortChoice choice) {
    const fs::path log = dir_ / "slapd.log";
    for (int attempt = 0; attempt < kLaunchAttempts; ++attempt) {
        port_ = (attempt == 0 && port != 0) ? port : free_loopback_port();
        if (options_.tls && !(choice == PortChoice::exact && tls_port_ != 0)) {
            do tls_port_ = free_loopback_port();
            while (tls_port_ == port_);
        }
        pid_ = spawn({kSlapd, "-f", (dir_ / "slapd.conf").string(), "-h", options_.tls ? url() + " " + ldaps_url() : url(),
                      "-d", "0"},
                     log);
        const auto deadline = Clock::now() + kStartLimit;
        for (;;) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                if (!port_is_free(port_) || (tls_port_ != 0 && !port_is_free(tls_port_))) {
                    if (choice == PortChoice::exact)
                        throw std::runtime_error("slapd cannot have port " + std::to_string(port_) + ": it is taken");
                    break;  // someone else took the port: try another
                }
                throw std::runtime_error("slapd " + describe_status(status) + " on port " + std::to_string(port_) +
                                         diagnostics());
            }
            if (Socket probe = connect_loopback(port_, 100ms); probe.valid() && listens_itself(pid_, port_)) return;
            if (Clock::now() >= deadline) {
                kill_and_reap(pid_);
                pid_ = 0;
                throw std::runtime_error("slapd did not accept connections on port " + std::to_string(port_) +
                                         " within " + std::to_string(kStartLimit.count()) + " s" + diagnostics());
            }
            std::this_thread::sleep_for(kPoll);
        }
    }
    throw std::runtime_error("slapd found no free port in " + std::to_string(kLaunchAttempts) + " attempts");
}

std::string Slapd::diagnostics() const {
    std::string text = "\nslapd output:\n" + read_file(dir_ / "slapd.log");
    const fs::path check = dir_ / "slaptest.log";
    if (::access(kSlaptest, X_OK) == 0) {
        run_tool({kSlaptest, "-u", "-f", (dir_ / "slapd.conf").string()}, check);
        text += "\nslaptest -u:\n" + read_file(check);
    }
    return text;
}

void Slapd::terminate() {
    if (pid_ == 0) return;
    resume();  // a stopped process would take SIGTERM only when continued
    kill_and_reap(pid_);
    pid_ = 0;
}

void Slapd::stop() {
    terminate();
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        dir_.clear();
    }
}

void Slapd::add_ldif(std::string_view ldif) {
    if (dir_.empty()) throw std::logic_error("Slapd::add_ldif after stop()");
    const std::uint16_t old_port = port_;
    terminate();
    const fs::path file = dir_ / "added.ldif";
    std::ofstream(file, std::ios::binary) << ldif;
    load(file);
    launch(old_port);
}

// ---- Outages ----

void Slapd::kill() {
    if (pid_ == 0) return;
    ::kill(pid_, SIGKILL);
    reap(pid_);
    pid_ = 0;
    paused_ = false;
}

void Slapd::restart() {
    if (dir_.empty()) throw std::logic_error("Slapd::restart after stop()");
    terminate();
    launch(port_, PortChoice::exact);
}

void Slapd::pause() {
    if (pid_ == 0 || paused_) return;
    ::kill(pid_, SIGSTOP);
    // The signal is only queued when kill() returns; the stop is complete once every thread of
    // slapd has stopped, which is when waitpid reports it.
    const auto deadline = Clock::now() + kStopLimit;
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG | WUNTRACED) == pid_ && WIFSTOPPED(status)) break;
        if (Clock::now() >= deadline) throw std::runtime_error("slapd did not stop on SIGSTOP");
        std::this_thread::sleep_for(kPoll);
    }
    paused_ = true;
}

void Slapd::resume() {
    if (pid_ == 0 || !paused_) return;
    ::kill(pid_, SIGCONT);
    paused_ = false;
}

std::size_t Slapd::unread_bytes() const {
    std::size_t total = 0;
    for (const TcpSocket &s : tcp_sockets())
        if (s.state == "01" && s.local == tcp_address(port_)) total += s.unread;
    return total;
}

// ---- Two providers ----

namespace {

constexpr int kPairAttempts = 5;   // pairs of ports tried when others take them first
constexpr auto kSyncPoll = 10ms;   // between two looks at both providers' change numbers

// `options` with the settings of provider `server_id` (1 or 2) on `port`, replicating with the
// provider on `other_port`: it pulls the other's changes through its consumer (retrying every
// second while the other is away) and offers its own through syncprov.
SlapdOptions provider_options(SlapdOptions options, int server_id, std::uint16_t port, std::uint16_t other_port) {
    options.preferred_port = port;
    options.extra_global_config.push_back("serverID " + std::to_string(server_id));
    options.extra_global_config.push_back("moduleload syncprov");
    options.extra_database_config.push_back(
        "syncrepl rid=001 provider=ldap://127.0.0.1:" + std::to_string(other_port) +
        "/ bindmethod=simple binddn=\"cn=admin," + options.suffix + "\" credentials=" + Slapd::admin_password +
        " searchbase=\"" + options.suffix + "\" type=refreshAndPersist retry=\"1 +\"");
    options.extra_database_config.push_back("multiprovider on");
    options.extra_database_config.push_back("overlay syncprov");
    // The change state goes to the database with every write: a provider that is killed comes
    // back knowing what it holds, so that neither side takes the other for being ahead of it.
    options.extra_database_config.push_back("syncprov-checkpoint 1 1");
    return options;
}

// Writes the entries of `server`'s database, with their identities and change numbers, to
// `ldif` (slapcat reads the database of a running slapd).
void export_entries(const Slapd &server, const fs::path &ldif) {
    const fs::path log = server.directory() / "slapcat.log";
    if (run_tool({kSlapcat, "-f", (server.directory() / "slapd.conf").string(), "-l", ldif.string()}, log) != 0)
        throw std::runtime_error("slapcat could not export the first provider:\n" + read_file(log));
}

// The contextCSN values of the suffix entry, sorted; nullopt when the server cannot be asked.
std::optional<std::vector<std::string>> context_csns(const Slapd &server) {
    if (!server.running()) return std::nullopt;
    try {
        RawClient client(server.port(), 1s);
        ldap::Search search;
        search.base = server.suffix();
        search.scope = 0;
        search.filter = ldap::filter::present("objectclass");
        search.attributes = {"contextCSN"};
        if (!client.send(ldap::search_request(1, search))) return std::nullopt;
        std::vector<std::string> csns;
        for (;;) {
            std::optional<Bytes> message = client.read_element(1s);
            if (!message) return std::nullopt;
            const BerNode op = parse_element(*message).at(1);
            if (op.tag != ldap::op::search_entry) break;
            for (const BerNode &attribute : op.at(1).children)
                for (const BerNode &value : attribute.at(1).children) csns.push_back(value.text());
        }
        std::sort(csns.begin(), csns.end());
        return csns;
    } catch (const std::exception &) {
        return std::nullopt;   // not accepting connections, or an answer cut short
    }
}

}  // namespace

SlapdPair::SlapdPair(SlapdOptions options) {
    for (int attempt = 0; attempt < kPairAttempts; ++attempt) {
        // Each configuration names the other's port, so both are fixed before either starts.
        const std::uint16_t ports[2] = {free_loopback_port(), free_loopback_port()};
        if (ports[0] == ports[1]) continue;
        SlapdOptions first = provider_options(options, 1, ports[0], ports[1]);
        first.slapadd_flags = {"-S", "1", "-w"};   // change numbers of server 1, and the suffix's contextCSN
        auto one = std::make_unique<Slapd>(std::move(first));
        if (one->port() != ports[0]) continue;
        SlapdOptions second = provider_options(options, 2, ports[1], ports[0]);
        second.ldif_files = {one->directory() / "provider.ldif"};
        second.extra_ldif.clear();
        export_entries(*one, second.ldif_files.front());
        auto two = std::make_unique<Slapd>(std::move(second));
        if (two->port() != ports[1]) continue;
        providers_.push_back(std::move(one));
        providers_.push_back(std::move(two));
        return;
    }
    throw std::runtime_error("SlapdPair: no two free ports in " + std::to_string(kPairAttempts) + " attempts");
}

std::string SlapdPair::host_list() const { return provider(0).host_port() + " " + provider(1).host_port(); }

bool SlapdPair::wait_in_sync(std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto first = context_csns(provider(0));
        const auto second = context_csns(provider(1));
        if (first && second && !first->empty() && *first == *second) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kSyncPoll);
    }
}

}  // namespace qortest
