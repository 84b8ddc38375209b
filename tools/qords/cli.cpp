#include "cli.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

#include "usage_error.h"

namespace qords {
namespace {

// Seconds and counts are kept below what the module can hold in milliseconds (32-bit).
constexpr int32_t kMaxSeconds = 2147483;
constexpr int32_t kMaxBenchSeconds = 86400;

// The host option that holds the bind password.
constexpr std::string_view kPasswordOption = "LDAP_BINDPW";

enum class OptionId {
    host,
    port,
    bind_dn,
    base,
    password,
    password_file,
    ask_password,
    option,
    time_limit,
    size_limit,
    scope,
    no_referrals,
    start_tls,
    ca_file,
    json,
    verbose,
    cache,
    seconds,
    help,
    simple_bind,
    input_file,
    keep_going,
    dry_run,
    version,
    paged,
    manage_dsa_it,
    new_superior,
    keep_old_rdn
};

struct OptionSpec {
    OptionId id;
    char short_name;  // '\0' when there is none
    std::string_view long_name;
    bool takes_value;
};

constexpr OptionSpec kOptions[] = {
    {OptionId::host, 'H', "host", true},
    {OptionId::port, 'p', "port", true},
    {OptionId::bind_dn, 'D', "bind-dn", true},
    {OptionId::base, 'b', "base", true},
    {OptionId::password, 'w', "password", true},
    {OptionId::password_file, 'y', "password-file", true},
    {OptionId::ask_password, 'W', "", false},
    {OptionId::option, 'o', "option", true},
    {OptionId::time_limit, 'l', "time-limit", true},
    {OptionId::size_limit, 'z', "size-limit", true},
    {OptionId::scope, 's', "scope", true},
    {OptionId::no_referrals, '\0', "no-referrals", false},
    {OptionId::start_tls, 'Z', "", false},
    {OptionId::ca_file, '\0', "cacert", true},
    {OptionId::json, '\0', "json", false},
    {OptionId::verbose, 'v', "", false},
    {OptionId::cache, '\0', "cache", true},
    {OptionId::seconds, '\0', "seconds", true},
    {OptionId::help, 'h', "help", false},
    {OptionId::simple_bind, 'x', "", false},
    {OptionId::input_file, 'f', "file", true},
    {OptionId::keep_going, 'c', "continue", false},
    {OptionId::dry_run, 'n', "dry-run", false},
    {OptionId::version, '\0', "version", false},
    {OptionId::paged, '\0', "paged", true},
    {OptionId::manage_dsa_it, 'M', "", false},
    {OptionId::new_superior, '\0', "new-superior", true},
    {OptionId::keep_old_rdn, '\0', "keep-old-rdn", false},
};

std::string display_name(const OptionSpec &option) {
    return option.long_name.empty() ? std::string("-") + option.short_name : "--" + std::string(option.long_name);
}

int32_t number(const OptionSpec &option, std::string_view text, int32_t low, int32_t high) {
    int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw UsageError(display_name(option) + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + std::string(text) + "\"");
    return value;
}

void set_password_source(Settings &settings, PasswordSource source) {
    if (settings.password_source != PasswordSource::none && settings.password_source != source)
        throw UsageError("give the password one way only: -w, -y or -W");
    settings.password_source = source;
}

void apply(Invocation &invocation, const OptionSpec &option, char *value) {
    Settings &s = invocation.settings;
    const std::string_view text = value != nullptr ? std::string_view(value) : std::string_view();
    switch (option.id) {
    case OptionId::host: {
        // "ldap://a:389,ldaps://b" as well as "a b": the module takes blank-separated entries.
        std::string hosts(text);
        std::replace(hosts.begin(), hosts.end(), ',', ' ');
        if (hosts.find_first_not_of(' ') == std::string::npos) throw UsageError("--host needs a host name");
        s.host = std::move(hosts);
        break;
    }
    case OptionId::port: s.port = number(option, text, 1, 65535); break;
    case OptionId::bind_dn: s.bind_dn = std::string(text); break;
    case OptionId::base: s.base = std::string(text); break;
    case OptionId::password:
        set_password_source(s, PasswordSource::text);
        s.password = std::string(text);
        std::memset(value, 'x', text.size());
        break;
    case OptionId::password_file:
        set_password_source(s, PasswordSource::file);
        s.password_file = std::string(text);
        break;
    case OptionId::ask_password: set_password_source(s, PasswordSource::terminal); break;
    case OptionId::option: {
        const size_t equals = text.find('=');
        if (equals == std::string_view::npos || equals == 0)
            throw UsageError("--option needs NAME=VALUE, not \"" + std::string(text) + "\"");
        s.host_options.emplace_back(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
        // A password given as a host option is blanked as one given with -w is.
        if (text.substr(0, equals) == kPasswordOption) std::memset(value + equals + 1, 'x', text.size() - equals - 1);
        break;
    }
    case OptionId::time_limit: s.time_limit = number(option, text, 1, kMaxSeconds); break;
    case OptionId::size_limit: s.size_limit = number(option, text, 0, INT32_MAX); break;
    case OptionId::scope:
        if (text == "base") {
            s.scope = Scope::base;
        } else if (text == "one") {
            s.scope = Scope::one;
        } else if (text == "sub") {
            s.scope = Scope::sub;
        } else {
            throw UsageError("--scope is base, one or sub, not \"" + std::string(text) + "\"");
        }
        break;
    case OptionId::no_referrals: s.referrals = false; break;
    case OptionId::start_tls: s.start_tls = s.start_tls == StartTls::off ? StartTls::attempt : StartTls::require; break;
    case OptionId::ca_file:
        if (text.empty()) throw UsageError("--cacert needs a file");
        s.ca_file = std::string(text);
        break;
    case OptionId::json: s.json = true; break;
    case OptionId::verbose: s.verbose = true; break;
    case OptionId::cache: s.cache_seconds = number(option, text, 1, kMaxSeconds); break;
    case OptionId::seconds: s.bench_seconds = number(option, text, 1, kMaxBenchSeconds); break;
    case OptionId::help: invocation.help = true; break;
    case OptionId::simple_bind: break;  // simple binds are the only kind the module makes
    case OptionId::input_file:
        if (text.empty()) throw UsageError("--file needs a file name");
        s.input_file = std::string(text);
        break;
    case OptionId::keep_going: s.keep_going = true; break;
    case OptionId::dry_run: s.dry_run = true; break;
    case OptionId::version: invocation.version = true; break;
    case OptionId::paged: s.page_size = number(option, text, 1, INT32_MAX); break;
    case OptionId::manage_dsa_it: s.manage_dsa_it = true; break;
    case OptionId::new_superior: s.new_superior = std::string(text); break;
    case OptionId::keep_old_rdn: s.keep_old_rdn = true; break;
    }
}

const OptionSpec *find_long(std::string_view name) {
    for (const OptionSpec &option : kOptions)
        if (!option.long_name.empty() && option.long_name == name) return &option;
    return nullptr;
}

const OptionSpec *find_short(char name) {
    for (const OptionSpec &option : kOptions)
        if (option.short_name == name) return &option;
    return nullptr;
}

}  // namespace

Invocation parse_command_line(int argc, char **argv) {
    Invocation invocation;
    std::vector<std::string> words;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        char *word = argv[i];
        const std::string_view text = word;
        if (options_ended || text.size() < 2 || text[0] != '-') {
            words.emplace_back(text);
            continue;
        }
        if (text == "--") {
            options_ended = true;
            continue;
        }
        if (text.substr(0, 2) == "--") {
            const size_t equals = text.find('=');
            const std::string_view name =
                text.substr(2, equals == std::string_view::npos ? std::string_view::npos : equals - 2);
            const OptionSpec *option = find_long(name);
            if (option == nullptr) throw UsageError("unknown option --" + std::string(name));
            char *value = nullptr;
            if (equals != std::string_view::npos) {
                if (!option->takes_value) throw UsageError("--" + std::string(name) + " takes no value");
                value = word + equals + 1;
            } else if (option->takes_value) {
                if (i + 1 >= argc) throw UsageError("--" + std::string(name) + " needs a value");
                value = argv[++i];
            }
            apply(invocation, *option, value);
            continue;
        }
        for (size_t at = 1; at < text.size(); ++at) {
            const OptionSpec *option = find_short(text[at]);
            if (option == nullptr) throw UsageError(std::string("unknown option -") + text[at]);
            if (!option->takes_value) {
                apply(invocation, *option, nullptr);
                continue;
            }
            char *value = nullptr;
            if (at + 1 < text.size()) {
                value = word + at + 1;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                throw UsageError(std::string("-") + text[at] + " needs a value");
            }
            apply(invocation, *option, value);
            break;
        }
    }
    if (!words.empty()) {
        invocation.command = words.front();
        invocation.arguments.assign(words.begin() + 1, words.end());
    }
    return invocation;
}

}  // namespace qords
