// Connection settings from the host's option lookup and from the environment.
#include "config.h"

#include "../host/gcb.h"
#include "../host/services.h"

namespace {

// The option lookup's mode for connection settings.
constexpr int32_t kOptionLookupMode = 78;

// The value of `setting` from the option lookup, copied into `buffer`; false when absent or too
// long. The host's copy is handed back in every case it gave one.
bool from_options(void *options, const qor::ds::SettingName &setting, char *buffer, int32_t *length) {
    const char *value = nullptr;
    int32_t value_length = 0;
    if (xjsymgc(options, setting.name, setting.name_length, &value, &value_length, kOptionLookupMode, 0) <= 0) {
        return false;
    }
    const bool fits = value != nullptr && value_length >= 0 && value_length <= setting.max_bytes;
    if (fits) {
        if (value_length > 0) __builtin_memcpy(buffer, value, static_cast<size_t>(value_length));
        buffer[value_length] = '\0';
        *length = value_length;
    }
    if (value != nullptr) xjsymfr(options, value);
    return fits;
}

bool from_environment(const qor::ds::SettingName &setting, char *buffer, int32_t *length) {
    int32_t value_length = 0;
    if (wzosvar(setting.name, setting.name_length, buffer, setting.max_bytes, &value_length) != 0) return false;
    if (value_length < 0 || value_length > setting.max_bytes) return false;
    buffer[value_length] = '\0';
    *length = value_length;
    return true;
}

}  // namespace

namespace qor::ds {

// The current-task slot names a word that is 1 for the base task or the task record's address;
// without it the base-task record stands in.
void *option_handle() {
    uintptr_t slot = gcb_word(kGcbCurrentTask);
    if (slot == 0) slot = gcb_word(kGcbBaseTask);
    if (slot == 0) return nullptr;
    const uintptr_t first = *reinterpret_cast<const uintptr_t *>(slot);
    const uintptr_t record = first == 1 ? gcb_word(kGcbBaseTask) : first;
    if (record == 0) return nullptr;
    return xalanch(reinterpret_cast<const uintptr_t *>(record)[kTaskHandleWord]);
}

bool lookup_setting(void *options, const SettingName &setting, char *buffer, int32_t *length) {
    if (options != nullptr && from_options(options, setting, buffer, length)) return true;
    return from_environment(setting, buffer, length);
}

}  // namespace qor::ds
