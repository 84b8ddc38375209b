#include "module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "qorldap/qorhost.h"

namespace qords {
namespace {

namespace fs = std::filesystem;

constexpr const char *kImageName = "qorldap.so";

std::string loader_failure(int status) {
    switch (status) {
        case -1: return "cannot be opened";
        case -2: return "has no entry point mcn_main";
        case -3: return "has no valid image-information record";
        default: return "did not start (status " + std::to_string(status) + ")";
    }
}

}  // namespace

std::string module_path() {
    if (const char *list = std::getenv("QORHOST_MODULE_PATH"); list != nullptr) {
        std::string_view rest = list;
        while (!rest.empty()) {
            const size_t colon = rest.find(':');
            const std::string_view directory = rest.substr(0, colon);
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
            if (directory.empty()) continue;
            const fs::path candidate = fs::path(directory) / kImageName;
            if (::access(candidate.c_str(), R_OK) == 0) return candidate.string();
        }
    }
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error) return (fs::path("..") / "modules" / kImageName).string();
    return (program.parent_path().parent_path() / "modules" / kImageName).string();
}

Module::Module(const std::string &path) : path_(path) {
    if (qorhost_start() != 0) throw ModuleError("the platform runtime did not start");
    const int status = qorhost_load(path.c_str());
    void **vector = status < 0 ? nullptr : qorhost_vector(QORLDAP_MODULE);
    if (vector == nullptr) {
        qorhost_stop();
        throw ModuleError("the directory module " + path + " " +
                          (status == 0 ? std::string("published no vector") : loader_failure(status)));
    }
    directory_ = qorldap::Directory(vector);
    image_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (image_ != nullptr) {
        err2string_ = reinterpret_cast<Err2StringFn>(::dlsym(image_, "ldap_err2string"));
        perror_ = reinterpret_cast<PerrorFn>(::dlsym(image_, "ldap_perror"));
        enable_cache_ = reinterpret_cast<EnableCacheFn>(::dlsym(image_, "ldap_enable_cache"));
    }
}

Module::~Module() {
    if (image_ != nullptr) ::dlclose(image_);
    qorhost_stop();
}

std::string Module::release() const {
    const qorhost_image_record *image = qorhost_image_of(path_.c_str());
    if (image == nullptr) return "(no image-information record)";
    const auto field = [](const char *text, size_t size) { return std::string(text, ::strnlen(text, size)); };
    return field(image->release, sizeof image->release) + " (host version " +
           field(image->host_version, sizeof image->host_version) + ", built " +
           field(image->build_date, sizeof image->build_date) + ")";
}

std::string Module::error_text(int32_t code) const {
    if (err2string_ == nullptr) return "LDAP result code " + std::to_string(code);
    const char *text = err2string_(code);
    return text != nullptr ? text : "LDAP result code " + std::to_string(code);
}

void Module::log_failure(LDAP *session, const char *prefix) const {
    if (perror_ != nullptr && session != nullptr) perror_(session, prefix);
}

int32_t Module::enable_cache(LDAP *session, int32_t timeout_ms, int32_t max_memory) const {
    if (enable_cache_ == nullptr) return -1;
    return enable_cache_(session, timeout_ms, max_memory);
}

}  // namespace qords
