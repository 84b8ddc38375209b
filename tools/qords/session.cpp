#include "session.h"

#include <algorithm>

#include "password.h"
#include "qorldap/qorhost.h"
#include "report.h"

namespace qords {
namespace {

constexpr int32_t kMillisecondsPerSecond = 1000;

int32_t option_word(const Settings &settings) {
    int32_t options = settings.referrals ? DS_OPT_CHASE_REFERRALS : 0;
    switch (settings.scope) {
        case Scope::unset: break;
        case Scope::base: options |= DS_OPT_RESOLVE_BASE; break;
        case Scope::one: options |= DS_OPT_RESOLVE_ONELEVEL; break;
        case Scope::sub: options |= DS_OPT_RESOLVE_SUBTREE; break;
    }
    return options;
}

const char *text_or_null(const std::optional<std::string> &text) { return text ? text->c_str() : nullptr; }

}  // namespace

std::optional<int> open_session(const Context &context, BaseUse base_use, qorldap::Session &session) {
    const Settings &settings = context.settings();
    for (const auto &[name, value] : settings.host_options) {
        if (qorhost_set_option(name.c_str(), value.c_str()) != 0) {
            report_error("--option " + name, "the host option lookup refused it");
            return kExitUsage;
        }
    }
    std::optional<std::string> password;
    try {
        password = bind_password(settings);
    } catch (const PasswordError &error) {
        report_error("password", error.what());
        return kExitUsage;
    }
    std::optional<std::string> base = settings.base;
    if (!base && base_use == BaseUse::unused) base = std::string();

    const int32_t status = session.open(text_or_null(settings.host), settings.port, option_word(settings),
                                        text_or_null(base), text_or_null(settings.bind_dn), text_or_null(password));
    if (password) std::fill(password->begin(), password->end(), '\0');
    if (status != DS_OK) return report_failure(context.module, nullptr, false, "open session", status, Stage::open);

    if (settings.time_limit || settings.size_limit) {
        session.set(settings.time_limit ? *settings.time_limit : -1, settings.size_limit ? *settings.size_limit : -1);
    }
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
