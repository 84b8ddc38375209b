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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

private:
    void write_config() const;
    void load(const std::filesystem::path &ldif) const;
    // Starts slapd on `port` when non-zero, else on a free port; retries other ports while the
    // chosen one turns out to be taken.
    void launch(std::uint16_t preferred_port);
    // Ends the process (SIGTERM, then SIGKILL after a bound) without touching the directory.
    void terminate();
    std::string diagnostics() const;

    SlapdOptions options_;
    std::filesystem::path dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = 0;
};

}  // namespace qortest
