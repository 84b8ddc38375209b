// Cost of a large lookup: a subtree search returning up to 10,000 entries of about ten attributes
// from a private slapd, turned into a result set by dsreslv and released by dsfree, through the
// vector as host programs call them. Entries per second at several result sizes (the size limit
// cuts the same search short) show that building the set stays linear; the counters give the
// session pool's peak bytes per byte received for one lookup.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "bench/person_directory.h"
#include "module/client/client.h"
#include "qorldap/qorldap.hpp"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"

namespace {

constexpr int kEntries = 10000;
constexpr const char *kFilter = "(objectClass=inetOrgPerson)";
constexpr const char *kBase = "ou=bench,o=example";

// The directory served for every benchmark of this program (started once: loading takes a while).
qortest::Slapd &server() {
    static std::unique_ptr<qortest::Slapd> instance = [] {
        qortest::SlapdOptions options;
        options.extra_ldif = qorbench::person_ldif("bench", "o=example", kEntries);
        options.size_limit = kEntries * 2;
        return std::make_unique<qortest::Slapd>(options);
    }();
    return *instance;
}

// A bound session on the bench directory, closed when it goes.
struct BenchSession {
    qorldap::Directory ds{qortest::vector(QORLDAP_MODULE)};
    LDAP *ld = nullptr;
    int32_t status = -1;

    explicit BenchSession(int32_t size_limit) {
        status = ds.dsopen(&ld, "127.0.0.1", server().port(), 0, kBase, "cn=admin,o=example", "secret");
        if (status == DS_OK) ds.dsopt(ld, 120, size_limit, DS_OPT_RESOLVE_SUBTREE, nullptr);
    }
    ~BenchSession() {
        if (ld != nullptr) ds.dsclose(ld);
    }
};

// Bytes of the messages that answer the search (as the client holds them, one buffer each).
double bytes_received(LDAP *ld, int32_t size_limit) {
    ld->ld_sizelimit = size_limit;
    LDAPMessage *chain = nullptr;
    ldap_search_s(ld, kBase, LDAP_SCOPE_SUBTREE, kFilter, nullptr, 0, &chain);
    double total = 0;
    for (LDAPMessage *m = chain; m != nullptr; m = m->lm_chain_next) {
        total += static_cast<double>(m->lm_ber_elem->be_end - m->lm_ber_elem->be_start);
    }
    ldap_msgfree(ld->ld_pool, chain);
    return total;
}

void BM_ResolveSubtree(benchmark::State &state) {
    if (qortest::load_status() != 0) {
        state.SkipWithError("module not loaded");
        return;
    }
    const auto entries = static_cast<int32_t>(state.range(0));
    const int32_t expected = entries < kEntries ? DS_SIZELIMIT_WARNING : DS_OK;

    // The pool's peak over one lookup, on a session that has done nothing else yet.
    double peak_per_byte = 0;
    {
        BenchSession fresh(entries);
        if (fresh.status != DS_OK) {
            state.SkipWithError("cannot open a session on slapd");
            return;
        }
        const long before = qortest::pool_stats(fresh.ld->ld_pool).peak_bytes;
        dsent **set = nullptr;
        if (fresh.ds.dsreslv(fresh.ld, kFilter, nullptr, &set) != expected || set == nullptr) {
            state.SkipWithError("the lookup failed");
            return;
        }
        const long peak = qortest::pool_stats(fresh.ld->ld_pool).peak_bytes;
        fresh.ds.dsfree(fresh.ld, set);
        const double received = bytes_received(fresh.ld, entries);
        peak_per_byte = static_cast<double>(peak - before) / received;
        state.counters["bytes_received"] = received;
        state.counters["pool_peak_bytes"] = static_cast<double>(peak - before);
    }
    state.counters["peak_per_byte_received"] = peak_per_byte;

    BenchSession session(entries);
    for (auto _ : state) {
        dsent **set = nullptr;
        const int32_t status = session.ds.dsreslv(session.ld, kFilter, nullptr, &set);
        if (status != expected || set == nullptr) {
            state.SkipWithError("the lookup failed");
            return;
        }
        benchmark::DoNotOptimize(set[entries - 1]);
        session.ds.dsfree(session.ld, set);
    }
    state.SetItemsProcessed(state.iterations() * entries);
}
BENCHMARK(BM_ResolveSubtree)->Arg(1000)->Arg(2500)->Arg(5000)->Arg(10000)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
