#include "tests/support/write_ledger.h"

#include <cstdlib>
#include <utility>

namespace qortest {

WriteLedger::WriteLedger(qorldap::Directory ds, std::string prefix, std::string parent)
    : ds_(ds), prefix_(std::move(prefix)), parent_(std::move(parent)) {}

std::string WriteLedger::dn(long n) const {
    return "cn=" + prefix_ + "-" + std::to_string(n) + "," + parent_;
}

int32_t WriteLedger::add(LDAP *ld) {
    const long n = next_++;
    const std::string cn = prefix_ + "-" + std::to_string(n);
    dsatt *classes = ds_.dsmkatt(ld, "objectClass", 2, DSVAL_TEXT, "top", DSVAL_TEXT, "qorSubscriber");
    dsatt *name = ds_.dsmkatt(ld, "cn", 1, DSVAL_TEXT, cn.c_str());
    dsatt *attributes[] = {classes, name, nullptr};
    int32_t status = DS_NO_MEMORY;
    if (classes != nullptr && name != nullptr) {
        dsent entry{nullptr, attributes};
        status = ds_.dsreg(ld, dn(n).c_str(), &entry);
    }
    for (dsatt *attribute : {classes, name})
        if (attribute != nullptr) ds_.dsfratt(ld, attribute);
    if (status == DS_OK) acknowledged_.insert(n);
    if (status == DS_STATUS(68)) ++doubled_;
    return status;
}

WriteAudit WriteLedger::audit(LDAP *ld) const {
    WriteAudit audit;
    audit.acknowledged = acknowledged();
    audit.doubled = doubled_;
    const std::string filter = "(cn=" + prefix_ + "-*)";
    char no_attributes[] = "1.1";
    char *attributes[] = {no_attributes, nullptr};
    dsent **set = nullptr;
    const int32_t status = ds_.dsreslv(ld, filter.c_str(), attributes, &set);
    audit.read = status == DS_OK;
    std::set<long> found;
    const std::string head = "cn=" + prefix_ + "-";
    for (dsent **entry = set; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string dn = (*entry)->de_dn;
        if (dn.compare(0, head.size(), head) == 0) found.insert(std::strtol(dn.c_str() + head.size(), nullptr, 10));
    }
    if (set != nullptr) ds_.dsfree(ld, set);
    audit.found = static_cast<long>(found.size());
    for (long n : acknowledged_)
        if (found.count(n) == 0) audit.missing.insert(n);
    audit.lost = static_cast<long>(audit.missing.size());
    for (long n : found) audit.unconfirmed += acknowledged_.count(n) == 0 ? 1 : 0;
    return audit;
}

}  // namespace qortest
