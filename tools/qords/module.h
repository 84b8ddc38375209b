// The directory module as qords uses it: the platform runtime started, the module image loaded
// the way the host loader loads it, its vector (host module 17) and the three names the image
// exports for host programs (ldap_err2string, ldap_perror, ldap_enable_cache, ldap_rename_s).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "qorldap/qorldap.hpp"

namespace qords {

class ModuleError : public std::runtime_error {
public:
    explicit ModuleError(const std::string &message) : std::runtime_error(message) {}
};

class Module {
public:
    // Starts the runtime and loads the image at `path`; ModuleError when either fails or the
    // image publishes no vector.
    explicit Module(const std::string &path);
    // Withdraws the module and stops the runtime. Every session must be closed before.
    ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    const qorldap::Directory &directory() const { return directory_; }
    const std::string &path() const { return path_; }

    // What the image says of itself: "RELEASE (host version V, built DATE)".
    std::string release() const;

    // The module's text for an LDAP result code.
    std::string error_text(int32_t code) const;
    // Writes the session's last protocol failure to the host log; nothing for a null session.
    void log_failure(LDAP *session, const char *prefix) const;
    // Enables the session's result cache (timeout in host clock units, milliseconds); 0, or -1
    // when the module has no cache or no memory for it.
    int32_t enable_cache(LDAP *session, int32_t timeout_ms, int32_t max_memory) const;
    bool has_cache() const { return enable_cache_ != nullptr; }
    // Renames the entry `dn` to `new_rdn`, under `new_superior` when not null (ModifyDN); the
    // LDAP result code (92, not supported, when the module has no rename operation).
    int32_t rename(LDAP *session, const char *dn, const char *new_rdn, const char *new_superior,
                   bool delete_old_rdn) const;

private:
    using Err2StringFn = const char *(*)(int32_t);
    using PerrorFn = void (*)(LDAP *, const char *);
    using EnableCacheFn = int32_t (*)(LDAP *, int32_t, int32_t);
    using RenameFn = int32_t (*)(LDAP *, const char *, const char *, const char *, int32_t);

    std::string path_;
    void *image_ = nullptr;
    qorldap::Directory directory_{nullptr};
    Err2StringFn err2string_ = nullptr;
    PerrorFn perror_ = nullptr;
    EnableCacheFn enable_cache_ = nullptr;
    RenameFn rename_ = nullptr;
};

}  // namespace qords
