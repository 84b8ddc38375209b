// The soak: sessions that live through one outage after another. Eight threads, each with its
// own session on a replicated pair of slapd providers ("A B"), run lookups, compares and writes
// in a mix for the given minutes while the main thread kills one provider every few seconds and
// restarts it. At the end it prints the operations done, failures by status, reconnects, writes
// lost (on neither provider) or applied twice (both must be 0), writes that replication did not
// bring to both, and the sessions' pool bytes at start and end (which must match), and exits
// non-zero when something that must hold does not.
//
//   soak [MINUTES]      (default 10; scripts/soak builds and runs it)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "module/client/client.h"
#include "qorldap/qorldap.hpp"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"
#include "tests/support/write_ledger.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kSessions = 8;
constexpr auto kUptime = 2s;            // a provider runs this long between outages
constexpr auto kDowntime = 1s;          // and stays down this long
constexpr auto kSyncLimit = 30s;        // after a restart, both must agree within this
constexpr auto kWriteInterval = 100ms;  // each session writes at most this often (the database has a size)
constexpr int kOpenAttempts = 50;       // a session opened while one provider is down may meet it

struct Person {
    const char *uid;
    const char *dn;
};
constexpr Person kPeople[] = {
    {"alice", "cn=Alice Archer,ou=people,o=example"},
    {"bob", "cn=Bob Baker,ou=people,o=example"},
    {"carol", "cn=Carol Clark,ou=people,o=example"},
    {"dave", "cn=Dave Dawson,ou=people,o=example"},
};

const char *kAdmin = "cn=admin,o=example";

// What one session did.
struct Tally {
    long lookups = 0, compares = 0, writes = 0;
    std::map<int32_t, long> failures;   // by status; a wrong answer counts under its status too
    long start_bytes = 0, end_bytes = 0;
    long reconnects = 0;
};

qorldap::Directory directory() { return qorldap::Directory{qortest::vector(QORLDAP_MODULE)}; }

LDAP *open_session(const std::string &hosts) {
    LDAP *ld = nullptr;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (directory().dsopen(&ld, hosts.c_str(), 0, DS_OPT_CHASE_REFERRALS, "o=example", kAdmin,
                               qortest::Slapd::admin_password) == DS_OK) {
            return ld;
        }
        std::this_thread::sleep_for(100ms);
    }
    return nullptr;
}

long live_bytes(LDAP *ld) { return qortest::pool_stats(ld->ld_pool).live_bytes; }

// One lookup of the session's person: DS_OK only when the entry found is that person.
int32_t look_up(LDAP *ld, const Person &person) {
    const qorldap::Directory ds = directory();
    dsent **set = nullptr;
    const int32_t status = ds.dsrslvdn(ld, person.dn, nullptr, &set);
    const bool right = status == DS_OK && set != nullptr && set[0] != nullptr && std::string(set[0]->de_dn) == person.dn;
    if (set != nullptr) ds.dsfree(ld, set);
    return status == DS_OK && !right ? DS_STATUS(LDAP_LOCAL_ERROR) : status;
}

// Reads until a lookup succeeds (after the outages every session must come back).
bool settle(LDAP *ld, const Person &person) {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (look_up(ld, person) == DS_OK) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

void run_session(LDAP *ld, const Person &person, qortest::WriteLedger &ledger, const std::atomic<bool> &stop,
                 Tally &tally) {
    const qorldap::Directory ds = directory();
    auto last_write = Clock::now();
    for (long round = 0; !stop.load(std::memory_order_relaxed); ++round) {
        int32_t status = DS_OK;
        if (Clock::now() - last_write >= kWriteInterval) {
            last_write = Clock::now();
            ++tally.writes;
            status = ledger.add(ld);
        } else if (round % 3 == 0) {
            ++tally.compares;
            status = ds.dscompar(ld, person.dn, "uid", person.uid);
            if (status == DS_COMPARE_TRUE) status = DS_OK;
            else if (status == DS_COMPARE_FALSE) status = DS_STATUS(LDAP_LOCAL_ERROR);
        } else {
            ++tally.lookups;
            status = look_up(ld, person);
        }
        if (status != DS_OK) ++tally.failures[status];
    }
}

// Kills and restarts the providers in turn until `deadline`; answers the outages made. A provider
// that comes back catches up with the other while the writes go on (they never pause long enough
// for both to agree at one moment, so that is checked once they have stopped).
long make_outages(qortest::SlapdPair &pair, Clock::time_point deadline) {
    long outages = 0;
    for (std::size_t victim = 0; Clock::now() + kUptime + kDowntime < deadline; victim ^= 1) {
        std::this_thread::sleep_for(kUptime);
        pair.provider(victim).kill();
        std::this_thread::sleep_for(kDowntime);
        pair.provider(victim).restart();
        ++outages;
    }
    return outages;
}

std::string describe(int32_t status) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(status));
    return std::string(hex) + " " + ldap_err2string(DS_CODE(status));
}

int soak(double minutes) {
    if (!qortest::module_loaded()) {
        std::fprintf(stderr, "soak: the module did not load (status %d)\n", qortest::load_status());
        return 2;
    }
    qortest::SlapdOptions options;
    options.size_limit = 1000000;   // the audit reads every entry written
    qortest::SlapdPair pair(options);
    const std::string hosts = pair.host_list();

    std::vector<LDAP *> sessions;
    std::vector<qortest::WriteLedger> ledgers;
    std::vector<Tally> tallies(kSessions);
    for (int i = 0; i < kSessions; ++i) {
        LDAP *ld = open_session(hosts);
        if (ld == nullptr || !settle(ld, kPeople[i % 4])) {
            std::fprintf(stderr, "soak: session %d could not be opened\n", i);
            return 2;
        }
        sessions.push_back(ld);
        ledgers.emplace_back(directory(), "soak" + std::to_string(i));
        tallies[i].start_bytes = live_bytes(ld);
    }

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kSessions; ++i) {
        threads.emplace_back(run_session, sessions[i], std::cref(kPeople[i % 4]), std::ref(ledgers[i]),
                             std::cref(stop), std::ref(tallies[i]));
    }
    const auto started = Clock::now();
    long outages = 0;
    int verdict = 0;
    try {
        outages = make_outages(pair, started + std::chrono::duration_cast<Clock::duration>(minutes * 1min));
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "soak: %s\n", failure.what());
        verdict = 1;
    }
    stop = true;
    for (std::thread &thread : threads) thread.join();
    const double ran = std::chrono::duration<double>(Clock::now() - started).count();
    const bool in_sync = pair.wait_in_sync(kSyncLimit);
    if (!in_sync) {
        std::fprintf(stderr, "soak: the providers did not agree within %ld s of the last write\n",
                     static_cast<long>(kSyncLimit / 1s));
    }

    Tally total;
    qortest::WriteAudit audits[2][kSessions];
    for (int i = 0; i < kSessions; ++i) {
        Tally &t = tallies[i];
        if (!settle(sessions[i], kPeople[i % 4])) verdict = 1;
        t.end_bytes = live_bytes(sessions[i]);
        t.reconnects = sessions[i]->ld_reconnects;
        total.lookups += t.lookups;
        total.compares += t.compares;
        total.writes += t.writes;
        total.reconnects += t.reconnects;
        total.start_bytes += t.start_bytes;
        total.end_bytes += t.end_bytes;
        for (const auto &[status, count] : t.failures) total.failures[status] += count;
    }
    for (std::size_t p = 0; p < 2; ++p) {
        LDAP *reader = open_session(pair.provider(p).host_port());
        for (int i = 0; reader != nullptr && i < kSessions; ++i) audits[p][i] = ledgers[i].audit(reader);
        if (reader != nullptr) directory().dsclose(reader);
    }

    long failures = 0;
    for (const auto &[status, count] : total.failures) failures += count;
    const long operations = total.lookups + total.compares + total.writes;
    std::printf("soak: %.1f minutes, %d sessions on \"%s\", %ld outages (a provider killed, restarted %ld s later)\n",
                ran / 60, kSessions, hosts.c_str(), outages, static_cast<long>(kDowntime / 1s));
    std::printf("operations: %ld (%.0f per second): %ld lookups, %ld compares, %ld writes\n", operations,
                operations / ran, total.lookups, total.compares, total.writes);
    std::printf("failures: %ld\n", failures);
    for (const auto &[status, count] : total.failures) std::printf("  %s: %ld\n", describe(status).c_str(), count);
    std::printf("reconnects: %ld (", total.reconnects);
    for (int i = 0; i < kSessions; ++i) std::printf("%s%ld", i == 0 ? "" : " ", tallies[i].reconnects);
    std::printf(" by session)\n");
    // A write is lost when neither provider has it; one that only one of them has was not
    // replicated (which is the servers' affair, and shows when they did not get back in sync).
    long acknowledged = 0, lost = 0, doubled = 0, unconfirmed = 0;
    long unreplicated[2] = {0, 0};
    bool read = true;
    for (int i = 0; i < kSessions; ++i) {
        const qortest::WriteAudit &a = audits[0][i];
        const qortest::WriteAudit &b = audits[1][i];
        read = read && a.read && b.read;
        acknowledged += a.acknowledged;
        doubled += a.doubled;
        unconfirmed += std::max(a.unconfirmed, b.unconfirmed);
        for (long n : a.missing) lost += b.missing.count(n);
        unreplicated[0] += a.lost;
        unreplicated[1] += b.lost;
    }
    unreplicated[0] -= lost;
    unreplicated[1] -= lost;
    std::printf("writes: %ld acknowledged, lost %ld, doubled %ld, %ld applied though reported failed%s\n", acknowledged,
                lost, doubled, unconfirmed, read ? "" : " (NOT READ)");
    std::printf("replication: %ld acknowledged writes missing on provider 0 only, %ld on provider 1 only\n",
                unreplicated[0], unreplicated[1]);
    if (!read || lost != 0 || doubled != 0) verdict = 1;
    std::printf("pool live bytes: %ld at start, %ld at end\n", total.start_bytes, total.end_bytes);
    for (int i = 0; i < kSessions; ++i) {
        if (tallies[i].start_bytes != tallies[i].end_bytes) {
            std::printf("  session %d: %ld at start, %ld at end\n", i, tallies[i].start_bytes, tallies[i].end_bytes);
            verdict = 1;
        }
    }
    for (LDAP *ld : sessions) directory().dsclose(ld);
    std::printf("%s\n", verdict == 0 ? "soak: passed" : "soak: FAILED");
    return verdict;
}

}  // namespace

int main(int argc, char **argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (argc > 2 || minutes <= 0) {
        std::fprintf(stderr, "usage: soak [MINUTES]\n");
        return 2;
    }
    try {
        return soak(minutes);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "soak: %s\n", failure.what());
        return 2;
    }
}
