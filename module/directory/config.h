// Connection settings of dsopen: each is looked up in the host's options, then in the
// environment, under the same name.
#pragma once

#include <cstdint>

#include "../util/util.h"

namespace qor::ds {

// One setting: its name (option and environment variable) and the most bytes a value may have.
struct SettingName {
    const char *name;
    int32_t name_length;
    int32_t max_bytes;

    template <int32_t N>
    constexpr SettingName(const char (&setting)[N], int32_t most_bytes)
        : name(setting), name_length(literal_length(setting)), max_bytes(most_bytes) {}
};

inline constexpr SettingName kHostSetting{"LDAP_HOST", 256};  // room for a few URLs
inline constexpr SettingName kPortSetting{"LDAP_PORT", 7};
inline constexpr SettingName kBindDnSetting{"LDAP_BINDDN", 256};
inline constexpr SettingName kPasswordSetting{"LDAP_BINDPW", 64};
inline constexpr SettingName kBaseSetting{"LDAP_BASE", 256};
inline constexpr SettingName kTlsCaFileSetting{"LDAP_TLS_CACERT", 1024};
inline constexpr SettingName kTlsRequireCertSetting{"LDAP_TLS_REQCERT", 16};

// The host's option handle for the calling task, or null when the host has none (option
// lookups are then skipped).
void *option_handle();

// Looks `setting` up in the options behind `options` (when not null), then in the environment.
// On success the value stands in `buffer` (which holds setting.max_bytes + 1 bytes) followed by
// a NUL, its length in *length, and the answer is true. A value longer than max_bytes counts as
// not found at its source. Every option value obtained is handed back to the host.
bool lookup_setting(void *options, const SettingName &setting, char *buffer, int32_t *length);

}  // namespace qor::ds
