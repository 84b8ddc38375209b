// Host option lookup: a table of NAME=VALUE entries from the file named by QORHOST_OPTIONS and
// from qorhost_set_option. Lookups hand out copies that the caller gives back with xjsymfr; the
// runtime counts the copies it holds so tests can prove every one is given back.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>

#include "control_block.h"
#include "log.h"
#include "qorldap/qorhost.h"
#include "services.h"
#include "status.h"

namespace qorhost {
namespace {

// The option handle xalanch answers for the base task: an object whose address is the handle.
struct OptionScope {
    int unused;
};
OptionScope base_scope;

std::mutex options_lock;
std::map<std::string, std::string> options;   // guarded by options_lock
std::unordered_set<const char *> handed_out;  // copies not yet given back; guarded by options_lock

std::string trimmed(const std::string &text) {
    const char *blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool load_options_file(const char *path) {
    std::ifstream file(path);
    if (!file) {
        log_line(std::string("qorhost: cannot read the options file ") + path);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::string text = trimmed(line);
        if (text.empty() || text[0] == '#') {
            continue;
        }
        const size_t equals = text.find('=');
        const std::string name = equals == std::string::npos ? std::string() : trimmed(text.substr(0, equals));
        if (name.empty()) {
            log_line(std::string("qorhost: ") + path + ":" + std::to_string(number) +
                     ": not a NAME=VALUE line, ignored");
            continue;
        }
        std::lock_guard lock(options_lock);
        options[name] = trimmed(text.substr(equals + 1));
    }
    return true;
}

}  // namespace

void load_options_from_environment() {
    if (const char *path = std::getenv("QORHOST_OPTIONS"); path != nullptr && *path != '\0') {
        load_options_file(path);
    }
}

void *xalanch_service(uintptr_t task) {
    return task == base_task_handle() ? &base_scope : nullptr;
}

int32_t xjsymgc_service(void *handle, const char *name, int32_t name_length, const char **value, int32_t *value_length,
                        int32_t, int32_t) {
    if (handle != &base_scope || name == nullptr || name_length < 0 || value == nullptr || value_length == nullptr) {
        return status(kStatusBadArgument);
    }
    std::lock_guard lock(options_lock);
    const auto it = options.find(std::string(name, static_cast<size_t>(name_length)));
    if (it == options.end()) {
        return 0;
    }
    const std::string &found = it->second;
    char *copy = static_cast<char *>(std::malloc(found.size() + 1));
    if (copy == nullptr) {
        return status(kStatusNoMemory);
    }
    std::memcpy(copy, found.c_str(), found.size() + 1);
    handed_out.insert(copy);
    *value = copy;
    *value_length = static_cast<int32_t>(found.size());
    return 1;
}

int32_t xjsymfr_service(void *handle, const char *value) {
    if (handle != &base_scope || value == nullptr) {
        return status(kStatusBadArgument);
    }
    std::lock_guard lock(options_lock);
    if (handed_out.erase(value) == 0) {
        log_line("qorhost: xjsymfr: the value given back is not one the option lookup handed out");
        return status(kStatusNotFound);
    }
    std::free(const_cast<char *>(value));
    return 0;
}

int32_t wzosvar_service(const char *name, int32_t name_length, char *buffer, int32_t size, int32_t *length) {
    if (name == nullptr || name_length <= 0 || buffer == nullptr || size < 0 || length == nullptr) {
        return status(kStatusBadArgument);
    }
    const std::string key(name, static_cast<size_t>(name_length));
    if (key.find('\0') != std::string::npos || key.find('=') != std::string::npos) {
        return status(kStatusNotFound);
    }
    const char *found = std::getenv(key.c_str());
    if (found == nullptr) {
        return status(kStatusNotFound);
    }
    const size_t found_length = std::strlen(found);
    if (found_length > static_cast<size_t>(size)) {
        return status(kStatusTooSmall);
    }
    std::memcpy(buffer, found, found_length);
    *length = static_cast<int32_t>(found_length);
    return 0;
}

}  // namespace qorhost

extern "C" int qorhost_set_option(const char *name, const char *value) {
    qorhost::ensure_started();
    if (name == nullptr || *name == '\0') {
        return -1;
    }
    std::lock_guard lock(qorhost::options_lock);
    if (value == nullptr) {
        qorhost::options.erase(name);
    } else {
        qorhost::options[name] = value;
    }
    return 0;
}

extern "C" int qorhost_load_options(const char *path) {
    qorhost::ensure_started();
    return path != nullptr && qorhost::load_options_file(path) ? 0 : -1;
}

extern "C" long qorhost_option_values_held(void) {
    std::lock_guard lock(qorhost::options_lock);
    return static_cast<long>(qorhost::handed_out.size());
}
