#include "session.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "qorldap/qorhost.h"
#include "report.h"

namespace qords {
namespace {

constexpr int32_t kMillisecondsPerSecond = 1000;

int32_t option_word(const Settings &settings) {
    int32_t options = settings.referrals ? DS_OPT_CHASE_REFERRALS : 0;
    if (settings.page_size) options |= DS_OPT_PAGED_RESULTS;
    if (settings.manage_dsa_it) options |= DS_OPT_MANAGE_DSA_IT;
    switch (settings.start_tls) {
    case StartTls::off: break;
    case StartTls::attempt: options |= DS_OPT_TRY_START_TLS; break;
    case StartTls::require: options |= DS_OPT_START_TLS; break;
    }
    switch (settings.scope) {
    case Scope::unset: break;
    case Scope::base: options |= DS_OPT_RESOLVE_BASE; break;
    case Scope::one: options |= DS_OPT_RESOLVE_ONELEVEL; break;
    case Scope::sub: options |= DS_OPT_RESOLVE_SUBTREE; break;
    }
    return options;
}

const char *text_or_null(const std::optional<std::string> &text) {
    return text ? text->c_str() : nullptr;
}

// A setting as far as qords can see it, looked up as the module looks: the command line when it
// gives a value, else an --option entry, else the environment; the module takes an entry or a
// variable even when it is empty. (An options file of the runtime is not visible here.)
std::optional<std::string> visible_setting(const Settings &settings, const std::optional<std::string> &given,
                                           const char *name) {
    if (given && !given->empty()) return given;
    for (auto it = settings.host_options.rbegin(); it != settings.host_options.rend(); ++it)
        if (it->first == name) return it->second;
    if (const char *value = std::getenv(name); value != nullptr) return std::string(value);
    return std::nullopt;
}

std::string shown(const std::string &text) {
    return text.empty() ? "\"\"" : text;
}

// "open session[ to HOST[ port PORT]][ as DN]" for failure messages; never the password.
std::string opening_what(const Settings &settings) {
    std::string what = "open session";
    if (std::optional<std::string> host = visible_setting(settings, settings.host, "LDAP_HOST")) {
        what += " to " + shown(*host);
        const std::optional<std::string> port = visible_setting(
            settings, settings.port != 0 ? std::optional(std::to_string(settings.port)) : std::nullopt, "LDAP_PORT");
        // The port applies to bare entries only: a URL carries its own.
        if (port && !port->empty() && host->find("://") == std::string::npos) what += " port " + *port;
    }
    std::optional<std::string> dn = visible_setting(settings, settings.bind_dn, "LDAP_BINDDN");
    if (dn && !dn->empty()) what += " as " + *dn;
    return what;
}

}  // namespace

std::optional<int> open_session(const Context &context, BaseUse base_use, qorldap::Session &session) {
    const Settings &settings = context.settings();
    for (const auto &[name, value] : settings.host_options) {
        if (qorhost_set_option(name.c_str(), value.c_str()) != 0) {
            report_error("--option " + name, "the host option lookup refused it");
            return kExitUsage;
        }
    }
    if (settings.ca_file) {
        if (::access(settings.ca_file->c_str(), R_OK) != 0) {
            report_error("--cacert", "cannot read " + *settings.ca_file);
            return kExitUsage;
        }
        qorhost_set_option("LDAP_TLS_CACERT", settings.ca_file->c_str());
    }
    if (settings.page_size) qorhost_set_option("LDAP_PAGESIZE", std::to_string(*settings.page_size).c_str());
    std::optional<std::string> base = settings.base;
    if (!base && base_use == BaseUse::unused) base = std::string();

    // A session whose bind fails is kept for its error texts: the failure then carries the
    // server's words.
    const int32_t status =
        session.open(text_or_null(settings.host), settings.port, option_word(settings) | DS_OPT_KEEP_FAILED_BIND,
                     text_or_null(base), text_or_null(settings.bind_dn), text_or_null(context.password));
    if (status != DS_OK) {
        const int exit_status = report_failure(context.module, session.get(), settings.verbose, opening_what(settings),
                                               status, Stage::open);
        session.close();
        return exit_status;
    }
    // The limits, and the option word without the bit that has done its part.
    session.set(settings.time_limit ? *settings.time_limit : -1, settings.size_limit ? *settings.size_limit : -1,
                option_word(settings));
    if (settings.cache_seconds) {
        if (!context.module.has_cache()) {
            report_error("--cache", "the module " + context.module.path() + " has no result cache");
            return kExitFailure;
        }
        if (context.module.enable_cache(session.get(), *settings.cache_seconds * kMillisecondsPerSecond, 0) != 0) {
            report_error("--cache", "the module could not enable its result cache (no memory)");
            return kExitFailure;
        }
    }
    return std::nullopt;
}

}  // namespace qords
