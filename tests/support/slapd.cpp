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

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

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
constexpr auto kPoll = 2ms;                // longest sleep of any wait below
constexpr auto kStartLimit = 15s;          // slapd accepting connections
constexpr auto kToolLimit = 30s;           // slapadd, slaptest
constexpr auto kStopLimit = 5s;            // SIGTERM before SIGKILL
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

// Ends `pid` for good: SIGTERM, then SIGKILL after kStopLimit; reaps it.
void kill_and_reap(pid_t pid) {
    ::kill(pid, SIGTERM);
    if (wait_exit(pid, kStopLimit)) return;
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
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

// Socket inode of the listener on 127.0.0.1:port (or 0.0.0.0:port), from /proc/net/tcp; 0 when
// nobody listens there.
unsigned long listener_inode(std::uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // header
    char wanted_local[16], wanted_any[16];
    std::snprintf(wanted_local, sizeof wanted_local, "0100007F:%04X", port);
    std::snprintf(wanted_any, sizeof wanted_any, "00000000:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        if (state == "0A" && (local == wanted_local || local == wanted_any)) return inode;
    }
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
    int status = run_tool({kSlapadd, "-q", "-f", (dir_ / "slapd.conf").string(), "-l", ldif.string()}, log);
    if (status != 0)
        throw std::runtime_error("slapadd could not load " + ldif.string() + " (status " + std::to_string(status) +
                                 "):\n" + read_file(log));
}

void Slapd::launch(std::uint16_t preferred_port) {
    const fs::path log = dir_ / "slapd.log";
    for (int attempt = 0; attempt < kLaunchAttempts; ++attempt) {
        port_ = (attempt == 0 && preferred_port != 0) ? preferred_port : free_loopback_port();
        pid_ = spawn({kSlapd, "-f", (dir_ / "slapd.conf").string(), "-h", url(), "-d", "0"}, log);
        const auto deadline = Clock::now() + kStartLimit;
        for (;;) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                if (!port_is_free(port_)) break;  // someone else took the port: try another
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

}  // namespace qortest
