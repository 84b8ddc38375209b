// The command line of qords: settings (options), the command and its arguments.
//
// Options may stand anywhere before "--"; after it every word is an argument (for values that
// begin with '-'). Long options take their value as "--name=VALUE" or as the next word, short
// ones as "-xVALUE" or the next word; flags may be grouped ("-vW").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qords {

enum class Scope { unset, base, one, sub };

enum class PasswordSource { none, text, file, terminal };

// -Z asks for StartTLS and goes on in clear when the server refuses; -ZZ requires it.
enum class StartTls { off, attempt, require };

// Everything an option can say. Unset settings fall back to what the module looks up itself.
struct Settings {
    std::optional<std::string> host;     // -H, entries blank-separated (commas become blanks)
    int32_t port = 0;                    // -p; 0: not given
    std::optional<std::string> bind_dn;  // -D
    std::optional<std::string> base;     // -b
    PasswordSource password_source = PasswordSource::none;
    std::string password;                                           // -w
    std::string password_file;                                      // -y
    std::vector<std::pair<std::string, std::string>> host_options;  // -o NAME=VALUE
    std::optional<int32_t> time_limit;                              // -l, seconds
    std::optional<int32_t> size_limit;                              // -z, entries (0: no limit)
    Scope scope = Scope::unset;                                     // -s
    bool referrals = true;                                          // --no-referrals clears it
    std::optional<int32_t> page_size;         // --paged: searches read in pages of this many entries
    bool manage_dsa_it = false;               // -M: referral objects are entries
    StartTls start_tls = StartTls::off;       // -Z, -ZZ
    std::optional<std::string> ca_file;       // --cacert
    bool json = false;                        // --json
    bool verbose = false;                     // -v
    std::optional<int32_t> cache_seconds;     // --cache
    std::optional<int32_t> bench_seconds;     // --seconds (bench only)
    std::optional<std::string> input_file;    // -f (add, modify): LDIF from FILE, not standard input
    bool keep_going = false;                  // -c (add, modify): go on after a failed record
    bool dry_run = false;                     // -n (add, modify, delete): show, send nothing
    std::optional<std::string> new_superior;  // --new-superior (rename)
    bool keep_old_rdn = false;                // --keep-old-rdn (rename)
};

struct Invocation {
    Settings settings;
    bool help = false;
    bool version = false;  // --version
    std::string command;   // empty when none was given
    std::vector<std::string> arguments;
};

// Parses argv. A password given with -w or -o LDAP_BINDPW=... is blanked in argv once copied, so
// that it does not stay visible in the process list. UsageError for anything malformed.
Invocation parse_command_line(int argc, char **argv);

}  // namespace qords
