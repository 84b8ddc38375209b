// Cost of searching: building a search request from a filter text (no server), with filters of
// growing size to show the encoder stays linear, and the round trip of a bound session's
// base-object search against a private slapd (operations per second).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "module/client/client.h"
#include "module/host/services.h"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"

namespace {

char *text(const char *literal) { return const_cast<char *>(literal); }

// A filter of the kind the directory functions send.
constexpr const char kTypicalFilter[] =
    "(&(|(objectclass=qorsubscriber)(qorInterface=qorsubscriber))"
    "(qorpersondn=cn=Alice Archer,ou=people,o=example)(!(cn=*-old*))(telephoneNumber>=+1 555))";

void build_and_free(benchmark::State &state, LDAP *ld, const char *filter) {
    char *attrs[] = {text("cn"), text("qorInterface"), text("telephoneNumber"), nullptr};
    for (auto _ : state) {
        BerElement *ber = ldap_build_search_req(ld, "ou=subscribers,o=example", LDAP_SCOPE_SUBTREE, filter, attrs, 0);
        if (ber == nullptr) {
            state.SkipWithError("the request could not be built");
            return;
        }
        benchmark::DoNotOptimize(ber->be_pos);
        berfree(ber, 1);
    }
    state.SetItemsProcessed(state.iterations());
}

LDAP *unconnected_session() {
    if (qortest::load_status() != 0) return nullptr;
    return ldap_init("127.0.0.1", 389);
}

void BM_BuildSearchRequestTypicalFilter(benchmark::State &state) {
    LDAP *ld = unconnected_session();
    if (ld == nullptr) {
        state.SkipWithError("no session");
        return;
    }
    build_and_free(state, ld, kTypicalFilter);
    ldap_ld_free(ld, 0);
}
BENCHMARK(BM_BuildSearchRequestTypicalFilter);

// An or of `range(0)` equality items: the cost per item should stay flat as the filter grows.
void BM_BuildSearchRequestWideFilter(benchmark::State &state) {
    LDAP *ld = unconnected_session();
    if (ld == nullptr) {
        state.SkipWithError("no session");
        return;
    }
    std::string filter = "(|";
    for (int64_t i = 0; i < state.range(0); ++i) filter += "(uid=user" + std::to_string(i) + ")";
    filter += ")";
    build_and_free(state, ld, filter.c_str());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(filter.size()));
    ldap_ld_free(ld, 0);
}
BENCHMARK(BM_BuildSearchRequestWideFilter)->RangeMultiplier(8)->Range(8, 4096);

// Base-object search of one entry on a bound session, waited for and released.
void BM_BaseObjectSearchRoundTrip(benchmark::State &state) {
    if (qortest::load_status() != 0) {
        state.SkipWithError("module not loaded");
        return;
    }
    qortest::Slapd server;
    LDAP *ld = ldap_open("127.0.0.1", server.port());
    if (ld == nullptr) {
        state.SkipWithError("no connection to slapd");
        return;
    }
    ld->ld_protocol_version = 3;
    ld->ld_timelimit = 10000;
    if (ldap_simple_bind_s(ld, server.admin_dn().c_str(), qortest::Slapd::admin_password) != LDAP_SUCCESS) {
        state.SkipWithError("bind failed");
        ldap_unbind(ld);
        return;
    }
    for (auto _ : state) {
        LDAPMessage *result = nullptr;
        const int32_t code = ldap_search_s(ld, "cn=Alice Archer,ou=people,o=example", LDAP_SCOPE_BASE,
                                           "(objectclass=*)", nullptr, 0, &result);
        if (code != LDAP_SUCCESS || ldap_count_entries(ld, result) != 1) {
            state.SkipWithError("search failed");
            ldap_msgfree(ld->ld_pool, result);
            break;
        }
        ldap_msgfree(ld->ld_pool, result);
    }
    state.SetItemsProcessed(state.iterations());
    ldap_unbind(ld);
}
BENCHMARK(BM_BaseObjectSearchRoundTrip)->UseRealTime();

}  // namespace
