// A private slapd for integration tests.
//
//   qortest::Slapd server;                        // sample directory, suffix o=example
//   connect to server.port() / server.url() ...
//
// The constructor creates a temporary directory, writes a configuration (core, cosine,
// inetorgperson and the project's qor.schema; an mdb database for the suffix with the
// administrator cn=admin,<suffix> / "secret"; version-2 binds allowed), loads the LDIF with
// slapadd, and runs `slapd -f CONF -h ldap://127.0.0.1:PORT/ -d 0` in the foreground as a child
// process. It returns once that process accepts connections on the port; a port taken by someone
// else is replaced by another one. Every wait is bounded; any failure throws std::runtime_error
// with slapd's diagnostics, so a missing or broken slapd fails the test rather than skipping it.
//
// The destructor (or stop()) ends slapd with SIGTERM, then SIGKILL if it does not stop within a
// few seconds, and removes the directory. slapd also receives SIGTERM if the thread that
// started it ends first, so a crashed test leaves no server behind.
//
// Access: anonymous sessions read everything except userPassword; persons and the administrator
// may write (with authenticated_write; otherwise only the administrator writes).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/test_ca.h"

namespace qortest {

// A file of tests/support/data in the source tree.
std::filesystem::path data_file(std::string_view name);

struct SlapdOptions {
    // Naming context of the database; the administrator is cn=admin,<suffix>.
    std::string suffix = "o=example";
    // LDIF files loaded before start, in order. The default is the sample directory, whose
    // shape is documented at the top of tests/support/data/sample.ldif.
    std::vector<std::filesystem::path> ldif_files = {data_file("sample.ldif")};
    // LDIF text loaded after the files (entries for one test).
    std::string extra_ldif;
    // When not empty, a `referral` line (e.g. "ldap://127.0.0.1:PORT/"): requests for names
    // outside the suffix are referred there.
    std::string referral;
    // Server-side limits on entries returned and seconds spent per search (slapd's defaults,
    // 500 entries and 3600 s, when absent).
    std::optional<int> size_limit;
    std::optional<int> time_limit;
    // Let bound persons write (otherwise only the administrator writes). Anonymous read stays.
    bool authenticated_write = true;
    // Port to try first; when 0, or when someone else holds it, a free port is chosen.
    std::uint16_t preferred_port = 0;
    // Further configuration lines, for the global section and for the database section.
    std::vector<std::string> extra_global_config;
    std::vector<std::string> extra_database_config;
    // Further slapadd flags for every LDIF loaded before start (e.g. {"-S", "1", "-w"}).
    std::vector<std::string> slapadd_flags;
    // When set, slapd serves TLS with this certificate and key, trusting `tls_ca_file`: ldaps on
    // a second port (tls_port()) and StartTLS on the first.
    std::optional<ServerIdentity> tls;
    std::filesystem::path tls_ca_file;
};

// Options for a second directory with suffix o=other and tests/support/data/other.ldif.
SlapdOptions other_directory_options();

class Slapd {
public:
    static constexpr const char *admin_password = "secret";

    explicit Slapd(SlapdOptions options = {});
    ~Slapd();
    Slapd(const Slapd &) = delete;
    Slapd &operator=(const Slapd &) = delete;

    std::uint16_t port() const { return port_; }
    std::string host_port() const;  // "127.0.0.1:PORT"
    std::string url() const;        // "ldap://127.0.0.1:PORT/"
    // With options.tls: the ldaps port, and "ldaps://127.0.0.1:TLS_PORT/"; 0 and "" without.
    std::uint16_t tls_port() const { return tls_port_; }
    std::string ldaps_url() const;
    const std::string &suffix() const { return options_.suffix; }
    std::string admin_dn() const { return "cn=admin," + options_.suffix; }

    // The temporary directory (configuration, database, logs); empty after stop().
    const std::filesystem::path &directory() const { return dir_; }
    // Process id of the running slapd, 0 when stopped.
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ != 0; }

    // Stops slapd and removes the directory. Idempotent.
    void stop();

    // Adds entries while the server runs: slapd is stopped, the LDIF loaded with slapadd (which
    // works only offline) and slapd started again, on the same port when it is still free,
    // otherwise on another (read port() again). Open connections are dropped.
    void add_ldif(std::string_view ldif);

    // ---- Outages, for sessions that must outlive their server ----

    // Kills slapd at once (SIGKILL), as a crash would: its connections end without an answer or
    // an unbind. The directory, the data and the port stay for restart().
    void kill();
    // Starts slapd again on the same port with the data as the last run left it, ending the
    // running process first (SIGTERM) if there is one. Throws when someone else has taken the
    // port meanwhile. slapd then belongs to the calling thread (see the top of this file).
    void restart();
    // Stops the process (SIGSTOP) and lets it go on (SIGCONT). Meanwhile connections stay open
    // and take requests, and nothing is answered.
    void pause();
    void resume();
    // Bytes that clients have sent to slapd and slapd has not read yet, over all its
    // connections: how a test sees a request arrive at a paused server.
    std::size_t unread_bytes() const;

private:
    void write_config() const;
    void load(const std::filesystem::path &ldif) const;
    // Whether slapd may move to another port when the one asked for is taken.
    enum class PortChoice { preferred, exact };
    // Starts slapd on `port` when non-zero, else on a free port; with PortChoice::preferred,
    // retries other ports while the chosen one turns out to be taken.
    void launch(std::uint16_t port, PortChoice choice = PortChoice::preferred);
    // Ends the process (SIGTERM, then SIGKILL after a bound) without touching the directory.
    void terminate();
    std::string diagnostics() const;

    SlapdOptions options_;
    std::filesystem::path dir_;
    std::uint16_t port_ = 0;
    std::uint16_t tls_port_ = 0;
    pid_t pid_ = 0;
    bool paused_ = false;
};

// Two slapd providers of one directory that replicate each other (multi-provider syncrepl):
// each has its own database, port and server id, takes the other's changes as they happen, and
// catches up when it comes back after an outage.
//
//   qortest::SlapdPair pair;                                   // the sample directory, twice
//   dsopen(..., pair.host_list().c_str(), ...);                // "127.0.0.1:P0 127.0.0.1:P1"
//   pair.provider(0).kill();  ...  pair.provider(0).restart(); // same port, same data
//   ASSERT_TRUE(pair.wait_in_sync(10s));                       // before killing the other one
//
// Both start from the same entries with the same identities (the second provider is loaded
// from the first one's export) and the constructor returns once both accept connections. While
// both run, a change on one shows on the other within milliseconds. A provider that was killed
// or paused pulls what it missed as soon as it runs again; the other one's consumer reconnects
// to a restarted provider within about a second.
class SlapdPair {
public:
    // Options for both providers (suffix, data, limits, extra configuration); the replication
    // settings are added to them.
    explicit SlapdPair(SlapdOptions options = {});

    Slapd &provider(std::size_t index) { return *providers_.at(index); }
    const Slapd &provider(std::size_t index) const { return *providers_.at(index); }
    // Both providers as a host list, provider 0 first.
    std::string host_list() const;
    // Waits up to `limit` until both providers run and hold the same changes (the change
    // sequence numbers of their suffix entries agree); true when they do.
    bool wait_in_sync(std::chrono::milliseconds limit) const;

private:
    std::vector<std::unique_ptr<Slapd>> providers_;
};

}  // namespace qortest
