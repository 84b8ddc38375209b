#include "module.h"

#include <dlfcn.h>

#include <cstring>

#include "qorldap/qorhost.h"

namespace qords {
namespace {

std::string loader_failure(int status) {
    switch (status) {
    case -1: return "cannot be opened";
    case -2: return "has no entry point mcn_main";
    case -3: return "has no valid image-information record";
    default: return "did not start (status " + std::to_string(status) + ")";
    }
}

}  // namespace

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
        rename_ = reinterpret_cast<RenameFn>(::dlsym(image_, "ldap_rename_s"));
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
    return field(image->vi_release, sizeof image->vi_release) + " (host version " +
           field(image->vi_host_version, sizeof image->vi_host_version) + ", built " +
           field(image->vi_build_date, sizeof image->vi_build_date) + ")";
}

std::string Module::error_text(int32_t code) const {
    if (err2string_ == nullptr) return "LDAP result code " + std::to_string(code);
    const char *text = err2string_(code);
    return text != nullptr ? text : "LDAP result code " + std::to_string(code);
}

void Module::log_failure(LDAP *session, const char *prefix) const {
    if (perror_ != nullptr && session != nullptr) perror_(session, prefix);
}

int32_t Module::rename(LDAP *session, const char *dn, const char *new_rdn, const char *new_superior,
                       bool delete_old_rdn) const {
    constexpr int32_t kNotSupported = 92;
    if (rename_ == nullptr) return kNotSupported;
    return rename_(session, dn, new_rdn, new_superior, delete_old_rdn ? 1 : 0);
}

int32_t Module::enable_cache(LDAP *session, int32_t timeout_ms, int32_t max_memory) const {
    if (enable_cache_ == nullptr) return -1;
    return enable_cache_(session, timeout_ms, max_memory);
}

}  // namespace qords
