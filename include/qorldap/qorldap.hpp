// qorldap for C++ host programs: a typed view of the directory module's vector and owners for
// what its functions hand out. Thin by design: every method calls exactly one slot with the
// arguments given, and the contracts (ownership, blocking, statuses) are those documented in
// qorldap.h.
//
//   qorldap::Directory directory(qorhost_vector(QORLDAP_MODULE));
//   qorldap::Session session(directory);
//   if (session.open("ldap.example.org", 0, DS_OPT_CHASE_REFERRALS, "o=example") != DS_OK) ...
//   qorldap::ResultSet people(session);
//   int32_t status = people.resolve("(uid=alice)");
//   for (dsent *entry : people) ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "qorldap.h"

namespace qorldap {

// The vector of host module 17, one method per slot. Copyable; the vector stays the host's.
class Directory {
public:
    explicit Directory(void *const *vector) : vector_(vector) {}

    // True when a vector was given (the module is loaded and published).
    bool valid() const { return vector_ != nullptr; }

    int32_t term() const { return slot<qorldap_term_fn>(QORLDAP_TERM)(); }
    int32_t dsopen(LDAP **session, const char *host, int32_t port, int32_t options, const char *base,
                   const char *bind_dn, const char *password) const {
        return slot<qorldap_dsopen_fn>(QORLDAP_DSOPEN)(session, host, port, options, base, bind_dn, password);
    }
    int32_t dsclose(LDAP *session) const { return slot<qorldap_dsclose_fn>(QORLDAP_DSCLOSE)(session); }
    void dsopt(LDAP *session, int32_t time_limit_seconds, int32_t size_limit, int32_t options,
               const char *base) const {
        slot<qorldap_dsopt_fn>(QORLDAP_DSOPT)(session, time_limit_seconds, size_limit, options, base);
    }
    int32_t dsiscls(LDAP *session, dsent *entry, const char *class_name, int32_t length) const {
        return slot<qorldap_dsiscls_fn>(QORLDAP_DSISCLS)(session, entry, class_name, length);
    }
    int32_t dsexpgrp(LDAP *session, const char *group_dn, dsent ***result) const {
        return slot<qorldap_dsexpgrp_fn>(QORLDAP_DSEXPGRP)(session, group_dn, result);
    }
    int32_t dsreslv(LDAP *session, const char *filter, char **attributes, dsent ***result) const {
        return slot<qorldap_dsreslv_fn>(QORLDAP_DSRESLV)(session, filter, attributes, result);
    }
    int32_t dsrslvdn(LDAP *session, const char *dn, char **attributes, dsent ***result) const {
        return slot<qorldap_dsrslvdn_fn>(QORLDAP_DSRSLVDN)(session, dn, attributes, result);
    }
    int32_t dsreg(LDAP *session, const char *dn, dsent *entry) const {
        return slot<qorldap_dsreg_fn>(QORLDAP_DSREG)(session, dn, entry);
    }
    int32_t dsmodify(LDAP *session, const char *dn, dsmod **changes) const {
        return slot<qorldap_dsmodify_fn>(QORLDAP_DSMODIFY)(session, dn, changes);
    }
    int32_t dsmodpad(LDAP *session, const char *dn, dsmodg **groups) const {
        return slot<qorldap_dsmodpad_fn>(QORLDAP_DSMODPAD)(session, dn, groups);
    }
    int32_t dsmodone(LDAP *session, const char *dn, int32_t operation, const char *type, char **values) const {
        return slot<qorldap_dsmodone_fn>(QORLDAP_DSMODONE)(session, dn, operation, type, values);
    }
    int32_t dsdereg(LDAP *session, const char *dn) const {
        return slot<qorldap_dsdereg_fn>(QORLDAP_DSDEREG)(session, dn);
    }
    int32_t dsfree(LDAP *session, dsent **result) const {
        return slot<qorldap_dsfree_fn>(QORLDAP_DSFREE)(session, result);
    }
    int32_t dsgshrt(dsval *value) const { return slot<qorldap_dsgshrt_fn>(QORLDAP_DSGSHRT)(value); }
    int32_t dsgint(dsval *value) const { return slot<qorldap_dsgint_fn>(QORLDAP_DSGINT)(value); }
    int32_t dsglong(dsval *value) const { return slot<qorldap_dsglong_fn>(QORLDAP_DSGLONG)(value); }
    float dsgflt(dsval *value) const { return slot<qorldap_dsgflt_fn>(QORLDAP_DSGFLT)(value); }
    double dsgdbl(dsval *value) const { return slot<qorldap_dsgdbl_fn>(QORLDAP_DSGDBL)(value); }
    unsigned char *dsgbin(LDAP *session, dsval *value, int32_t *length) const {
        return slot<qorldap_dsgbin_fn>(QORLDAP_DSGBIN)(session, value, length);
    }
    char *dsgstr(dsval *value) const { return slot<qorldap_dsgstr_fn>(QORLDAP_DSGSTR)(value); }
    // The values follow as in C: an int32_t kind, then its data with exactly the C types of
    // qorldap.h (int32_t, double, int32_t and a pointer, or a pointer). Pass no other types.
    template <typename... Values>
    dsatt *dsmkatt(LDAP *session, const char *name, int32_t count, Values... values) const {
        return slot<qorldap_dsmkatt_fn>(QORLDAP_DSMKATT)(session, name, count, values...);
    }
    void dsfratt(LDAP *session, dsatt *attribute) const {
        slot<qorldap_dsfratt_fn>(QORLDAP_DSFRATT)(session, attribute);
    }
    char *dsmynod(char *buffer, int32_t size) const {
        return slot<qorldap_dsmynod_fn>(QORLDAP_DSMYNOD)(buffer, size);
    }
    void dsdnprnt(const char *name, char *output, int32_t size, int32_t *length) const {
        slot<qorldap_dsdnprnt_fn>(QORLDAP_DSDNPRNT)(name, output, size, length);
    }
    char *dsgeterr(LDAP *session) const { return slot<qorldap_dsgeterr_fn>(QORLDAP_DSGETERR)(session); }
    int32_t dscompar(LDAP *session, const char *dn, const char *type, const char *value) const {
        return slot<qorldap_dscompar_fn>(QORLDAP_DSCOMPAR)(session, dn, type, value);
    }

private:
    template <typename Function>
    Function slot(int number) const {
        return reinterpret_cast<Function>(vector_[number]);
    }

    void *const *vector_;
};

class Session;

// What the owners below have in common: each holds something made on a session and registers
// with that session, so that closing the session (also to reopen it, or when it is destroyed)
// releases what the owner holds first, while the session's pool still exists. An owner never
// frees into a pool that has gone: after its session closed it holds nothing, and after the
// session object is destroyed it stays empty.
class SessionOwned {
public:
    SessionOwned(const SessionOwned &) = delete;
    SessionOwned &operator=(const SessionOwned &) = delete;

protected:
    explicit SessionOwned(const Session &session);
    SessionOwned(SessionOwned &&other) noexcept;
    ~SessionOwned();

    // Releases what the owner holds through its session; after it the owner holds nothing.
    virtual void release_held() = 0;

    // The session's current handle (null while it is closed or gone).
    LDAP *handle() const;
    // The vector calls go through; valid while the session object exists.
    const Directory &directory() const;
    bool attached() const { return session_ != nullptr; }

private:
    friend class Session;
    void link();
    void unlink();

    const Session *session_;
    SessionOwned *previous_ = nullptr;
    SessionOwned *next_ = nullptr;
};

// Owns a session: closes it when destroyed. Result sets and attribute lists made on it through
// the owners below are released before it closes.
class Session {
public:
    explicit Session(Directory directory) : directory_(directory) {}
    ~Session() {
        close();
        while (owners_ != nullptr) {
            SessionOwned *owner = owners_;
            owner->unlink();
            owner->session_ = nullptr;
        }
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    Session(Session &&other) noexcept
        : directory_(other.directory_), ld_(std::exchange(other.ld_, nullptr)),
          owners_(std::exchange(other.owners_, nullptr)) {
        for (SessionOwned *owner = owners_; owner != nullptr; owner = owner->next_) owner->session_ = this;
    }

    // Opens the session (closing one held before); the status of dsopen.
    int32_t open(const char *host, int32_t port = 0, int32_t options = DS_OPT_CHASE_REFERRALS,
                 const char *base = nullptr, const char *bind_dn = nullptr, const char *password = nullptr) {
        close();
        return directory_.dsopen(&ld_, host, port, options, base, bind_dn, password);
    }
    // Releases what the owners made on it still hold, then closes it.
    void close() {
        if (ld_ == nullptr) return;
        for (SessionOwned *owner = owners_; owner != nullptr; owner = owner->next_) owner->release_held();
        directory_.dsclose(std::exchange(ld_, nullptr));
    }
    void set(int32_t time_limit_seconds, int32_t size_limit = -1, int32_t options = -1, const char *base = nullptr) {
        directory_.dsopt(ld_, time_limit_seconds, size_limit, options, base);
    }
    // The session's message about its last failure, or null; valid until the next call on it.
    const char *last_error() const { return directory_.dsgeterr(ld_); }

    LDAP *get() const { return ld_; }
    explicit operator bool() const { return ld_ != nullptr; }
    const Directory &directory() const { return directory_; }

private:
    friend class SessionOwned;
    Directory directory_;
    LDAP *ld_ = nullptr;
    mutable SessionOwned *owners_ = nullptr;   // registered owners, newest first
};

inline SessionOwned::SessionOwned(const Session &session) : session_(&session) {
    link();
}

inline SessionOwned::SessionOwned(SessionOwned &&other) noexcept : session_(other.session_) {
    link();
}

inline SessionOwned::~SessionOwned() {
    unlink();
}

inline void SessionOwned::link() {
    if (session_ == nullptr) return;
    next_ = session_->owners_;
    if (next_ != nullptr) next_->previous_ = this;
    session_->owners_ = this;
}

inline void SessionOwned::unlink() {
    if (session_ == nullptr) return;
    if (previous_ != nullptr) {
        previous_->next_ = next_;
    } else {
        session_->owners_ = next_;
    }
    if (next_ != nullptr) next_->previous_ = previous_;
    previous_ = next_ = nullptr;
}

inline LDAP *SessionOwned::handle() const {
    return session_ != nullptr ? session_->get() : nullptr;
}

inline const Directory &SessionOwned::directory() const {
    return session_->directory();
}

// Owns a result set of a session: releases it with dsfree when destroyed, refilled, or when its
// session closes.
class ResultSet : private SessionOwned {
public:
    explicit ResultSet(const Session &session) : SessionOwned(session) {}
    ~ResultSet() { reset(); }
    ResultSet(ResultSet &&other) noexcept
        : SessionOwned(std::move(other)), entries_(std::exchange(other.entries_, nullptr)) {}

    // Each fills the set (releasing what it held) and answers the function's status; without a
    // session object any more, DS_NO_SESSION.
    int32_t resolve(const char *filter, char **attributes = nullptr) {
        reset();
        return attached() ? directory().dsreslv(handle(), filter, attributes, &entries_) : DS_NO_SESSION;
    }
    int32_t resolve_dn(const char *dn, char **attributes = nullptr) {
        reset();
        return attached() ? directory().dsrslvdn(handle(), dn, attributes, &entries_) : DS_NO_SESSION;
    }
    int32_t expand_group(const char *group_dn) {
        reset();
        return attached() ? directory().dsexpgrp(handle(), group_dn, &entries_) : DS_NO_SESSION;
    }
    void reset() { release_held(); }

    // The entries, in the server's order; an empty range when there are none.
    dsent **begin() const { return entries_; }
    dsent **end() const {
        dsent **last = entries_;
        while (last != nullptr && *last != nullptr) ++last;
        return last;
    }
    std::size_t size() const { return static_cast<std::size_t>(end() - begin()); }
    bool empty() const { return size() == 0; }
    dsent *operator[](std::size_t index) const { return entries_[index]; }
    // The raw set (null when none), still owned here.
    dsent **get() const { return entries_; }

private:
    void release_held() override {
        dsent **entries = std::exchange(entries_, nullptr);
        if (entries != nullptr && handle() != nullptr) directory().dsfree(handle(), entries);
    }

    dsent **entries_ = nullptr;
};

// Owns an attribute list made with dsmkatt: releases it with dsfratt when destroyed or when its
// session closes.
class AttributeList : private SessionOwned {
public:
    AttributeList(const Session &session, dsatt *attribute) : SessionOwned(session), attribute_(attribute) {}
    ~AttributeList() { release_held(); }
    AttributeList(AttributeList &&other) noexcept
        : SessionOwned(std::move(other)), attribute_(std::exchange(other.attribute_, nullptr)) {}

    dsatt *get() const { return attribute_; }
    dsatt *operator->() const { return attribute_; }
    explicit operator bool() const { return attribute_ != nullptr; }

private:
    void release_held() override {
        dsatt *attribute = std::exchange(attribute_, nullptr);
        if (attribute != nullptr && handle() != nullptr) directory().dsfratt(handle(), attribute);
    }

    dsatt *attribute_;
};

}  // namespace qorldap
