// A ledger of the entries a session adds, for tests of sessions that outlive their servers: what
// each add answered, and afterwards what a server holds, checked against it.
//
//   qortest::WriteLedger ledger(ds, "w");      // entries cn=w-0, cn=w-1, ... below the parent
//   ledger.add(ld);  ...                        // through any session, any number of times
//   qortest::WriteAudit audit = ledger.audit(ld);
//   EXPECT_EQ(audit.lost, 0);  EXPECT_EQ(audit.doubled, 0);
//
// An add that answered DS_OK is acknowledged and must be found; one that answered "already
// exists" found its entry added before: the entry was applied twice. An add that failed otherwise
// (its connection ended while it was in flight) may or may not have been applied.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "qorldap/qorldap.hpp"

namespace qortest {

struct WriteAudit {
    bool read = false;        // the entries could be read (the counts below mean nothing otherwise)
    long acknowledged = 0;    // adds answered DS_OK
    long found = 0;           // entries of the ledger the server holds
    long lost = 0;            // acknowledged and not found
    long doubled = 0;         // adds answered "already exists"
    long unconfirmed = 0;     // found although their add failed (it was in flight)
    std::set<long> missing;   // the entries lost: acknowledged and not found
};

class WriteLedger {
public:
    // Entries "cn=<prefix>-<n>,<parent>" of class qorSubscriber.
    WriteLedger(qorldap::Directory ds, std::string prefix, std::string parent = "ou=subscribers,o=example");

    // Adds the next entry through `ld`; the status of dsreg.
    int32_t add(LDAP *ld);
    long acknowledged() const { return static_cast<long>(acknowledged_.size()); }
    // The DN of entry `n`.
    std::string dn(long n) const;
    // The last entry acknowledged, -1 before the first.
    long last_acknowledged() const { return acknowledged_.empty() ? -1 : *acknowledged_.rbegin(); }

    // Reads the ledger's entries through `ld` (one search below the parent) and compares.
    WriteAudit audit(LDAP *ld) const;

private:
    qorldap::Directory ds_;
    std::string prefix_;
    std::string parent_;
    long next_ = 0;
    long doubled_ = 0;
    std::set<long> acknowledged_;
};

}  // namespace qortest
