// The result cache against the server: the same search, waited for and released, answered from
// the session's cache and sent to a private slapd. Two searches: one entry by its DN (base
// object) and the six persons of the sample directory with four attributes each (subtree).
// Compare the items per second of the two benchmarks with the same argument.
#include <benchmark/benchmark.h>

#include <memory>

#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"

namespace {

char *text(const char *literal) { return const_cast<char *>(literal); }

struct SearchShape {
    const char *base;
    int32_t scope;
    const char *filter;
    int32_t entries;
};

// Argument 0: one entry by DN; argument 1: every person.
constexpr SearchShape kShapes[] = {
    {"cn=Alice Archer,ou=people,o=example", LDAP_SCOPE_BASE, "(objectclass=*)", 1},
    {"ou=people,o=example", LDAP_SCOPE_SUBTREE, "(objectClass=inetOrgPerson)", 6},
};

// An anonymous version-3 session to `server`, or null.
LDAP *open_session(const qortest::Slapd &server) {
    LDAP *ld = ldap_open("127.0.0.1", server.port());
    if (ld == nullptr) return nullptr;
    ld->ld_protocol_version = 3;
    ld->ld_timelimit = 10000;
    if (ldap_simple_bind_s(ld, "", "") != LDAP_SUCCESS) {
        ldap_unbind(ld);
        return nullptr;
    }
    return ld;
}

// Runs the search of `shape` once per iteration, checking every answer is whole.
void run_searches(benchmark::State &state, LDAP *ld, const SearchShape &shape) {
    char *attrs[] = {text("cn"), text("mail"), text("telephoneNumber"), text("description"), nullptr};
    for (auto _ : state) {
        LDAPMessage *result = nullptr;
        const int32_t code = ldap_search_s(ld, shape.base, shape.scope, shape.filter, attrs, 0, &result);
        if (code != LDAP_SUCCESS || ldap_count_entries(ld, result) != shape.entries) {
            state.SkipWithError("search failed");
            ldap_msgfree(ld->ld_pool, result);
            return;
        }
        ldap_msgfree(ld->ld_pool, result);
    }
    state.SetItemsProcessed(state.iterations());
}

void search_benchmark(benchmark::State &state, bool cached) {
    if (qortest::load_status() != 0) {
        state.SkipWithError("module not loaded");
        return;
    }
    qorhost_set_encoding(20);
    qortest::Slapd server;
    LDAP *ld = open_session(server);
    if (ld == nullptr) {
        state.SkipWithError("no session to slapd");
        return;
    }
    if (cached && ldap_enable_cache(ld, 3600 * 1000, 0) != 0) {
        state.SkipWithError("no cache");
        ldap_unbind(ld);
        return;
    }
    run_searches(state, ld, kShapes[state.range(0)]);
    ldap_unbind(ld);
}

void BM_SearchSentToSlapd(benchmark::State &state) { search_benchmark(state, false); }
BENCHMARK(BM_SearchSentToSlapd)->Arg(0)->Arg(1)->UseRealTime();

void BM_SearchAnsweredFromCache(benchmark::State &state) { search_benchmark(state, true); }
BENCHMARK(BM_SearchAnsweredFromCache)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
