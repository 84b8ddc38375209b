// How close the directory module comes to the raw limit: each of its costs as a ratio to what
// the server and the socket allow, measured in the same run against the same private slapd, so
// that the noise of a shared machine cancels out of the ratios.
//
// The raw limit is bench/raw_search.c (a client that writes a pre-encoded search and only frames
// the answers); the module is called in this process through its vector, the way host programs
// call it; `qords` runs as a child for its resident memory. Each subtree ou=nN,o=example holds N
// persons of eleven attribute types; the main table uses N = 10,000, the growth table every N.
//
//   limit_report [--seconds S] [--rounds R] [--sizes N,N,...]
//   limit_report --profile base|subtree|cache [--seconds S]   one module loop only, for perf
//
// Benchmarks report, they do not gate: the goals are printed next to the figures.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/person_directory.h"
#include "module/client/client.h"
#include "qorldap/qorldap.hpp"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTableSize = 10000;
constexpr const char *kSuffix = "o=example";
constexpr const char *kFilter = "(objectClass=*)";   // what raw_search asks for too

struct Options {
    double seconds = 3;
    int rounds = 3;
    std::vector<int> sizes{1000, 10000, 100000};
    std::string profile;
};

std::string unit_dn(int size) { return "ou=n" + std::to_string(size) + "," + kSuffix; }
std::string person_dn(int size) { return "uid=user0," + unit_dn(size); }

// One run of the raw driver.
struct RawRun {
    long searches = 0;
    long entries = 0;
    long long bytes = 0;
    double seconds = 0;
    double cpu = 0;    // processor seconds of the client
    double user = 0;   // the part of them outside the kernel
    double searches_per_second() const { return searches / seconds; }
    double entries_per_second() const { return entries / seconds; }
    double bytes_per_search() const { return static_cast<double>(bytes) / searches; }
};

// With `pause_us` the driver computes (spins) that long on every final result before its next request.
RawRun run_raw(const qortest::Slapd &server, const std::string &base, int scope, double seconds,
               double pause_us = 0) {
    const std::string command = std::string(QOR_BIN_DIR) + "/raw_search 127.0.0.1 " + std::to_string(server.port()) +
                                " '" + base + "' " + std::to_string(scope) + " " + std::to_string(seconds) + " " +
                                std::to_string(pause_us);
    std::unique_ptr<FILE, int (*)(FILE *)> output(popen(command.c_str(), "r"), pclose);
    RawRun run;
    if (output == nullptr ||
        std::fscanf(output.get(), "searches=%ld entries=%ld bytes=%lld seconds=%lf cpu=%lf user=%lf", &run.searches,
                    &run.entries, &run.bytes, &run.seconds, &run.cpu, &run.user) != 6 ||
        run.searches == 0) {
        throw std::runtime_error("raw_search failed: " + command);
    }
    return run;
}

// A session of the module on the benchmark directory, anonymous like the raw driver, closed
// when it goes.
struct ModuleSession {
    const qorldap::Directory &ds;
    LDAP *ld = nullptr;

    ModuleSession(const qorldap::Directory &directory, const qortest::Slapd &server, const std::string &base)
        : ds(directory) {
        if (ds.dsopen(&ld, "127.0.0.1", server.port(), 0, base.c_str(), nullptr, nullptr) != DS_OK) {
            throw std::runtime_error("dsopen failed");
        }
        ds.dsopt(ld, 600, 0, DS_OPT_RESOLVE_SUBTREE, nullptr);
    }
    ~ModuleSession() { ds.dsclose(ld); }
    ModuleSession(const ModuleSession &) = delete;
    ModuleSession &operator=(const ModuleSession &) = delete;
};

volatile size_t value_bytes_read;   // keeps the walk from being optimised away

// Reads every value of a result set the way a host program does, and releases it.
long walk_and_free(const ModuleSession &s, dsent **set) {
    long entries = 0;
    size_t bytes = 0;
    for (dsent **entry = set; entry != nullptr && *entry != nullptr; ++entry, ++entries) {
        for (dsatt **attribute = (*entry)->de_atts; *attribute != nullptr; ++attribute) {
            for (int32_t k = 0; k < (*attribute)->da_count; ++k) bytes += std::strlen((*attribute)->da_vals[k]->dv_text);
        }
    }
    if (set != nullptr) s.ds.dsfree(s.ld, set);
    value_bytes_read = bytes;
    return entries;
}

// Lookups made by `lookup` (which answers the entries it delivered) for `seconds`, at least one.
struct ModuleRun {
    long lookups = 0;
    long entries = 0;
    double seconds = 0;
    double cpu = 0;    // processor seconds of this process (slapd is another)
    double user = 0;   // the part of them outside the kernel
    double lookups_per_second() const { return lookups / seconds; }
    double entries_per_second() const { return entries / seconds; }
};

double seconds_of(const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Processor seconds of this process: all of them, or those outside the kernel.
enum class CpuTime { kAll, kUserOnly };
double cpu_seconds(CpuTime which = CpuTime::kAll) {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return seconds_of(usage.ru_utime) + (which == CpuTime::kAll ? seconds_of(usage.ru_stime) : 0);
}

ModuleRun run_module(double seconds, const std::function<long()> &lookup) {
    ModuleRun run;
    const Clock::time_point start = Clock::now();
    const double start_cpu = cpu_seconds();
    const double start_user = cpu_seconds(CpuTime::kUserOnly);
    do {
        run.entries += lookup();
        ++run.lookups;
        run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (run.seconds < seconds);
    run.cpu = cpu_seconds() - start_cpu;
    run.user = cpu_seconds(CpuTime::kUserOnly) - start_user;
    return run;
}

long checked(int32_t status, long entries) {
    if (DS_FAILED(status)) throw std::runtime_error("a lookup failed with status " + std::to_string(status));
    return entries;
}

long read_entry(const ModuleSession &s, const std::string &dn) {
    dsent **set = nullptr;
    const int32_t status = s.ds.dsrslvdn(s.ld, dn.c_str(), nullptr, &set);
    return checked(status, walk_and_free(s, set));
}

long search_subtree(const ModuleSession &s) {
    dsent **set = nullptr;
    const int32_t status = s.ds.dsreslv(s.ld, kFilter, nullptr, &set);
    return checked(status, walk_and_free(s, set));
}

void enable_cache(const ModuleSession &s) {
    if (ldap_enable_cache(s.ld, 3600 * 1000, 0) != 0) throw std::runtime_error("no result cache");
}

// The session pool over one subtree search into a result set, on a fresh session: its peak, and
// what the result set alone holds once the search's messages are gone.
struct PoolUse {
    double peak = 0;
    double result_set = 0;
};

PoolUse pool_use(const qorldap::Directory &ds, const qortest::Slapd &server, int size) {
    ModuleSession s(ds, server, unit_dn(size));
    const qorhost_pool_stats before = qortest::pool_stats(s.ld->ld_pool);
    dsent **set = nullptr;
    checked(s.ds.dsreslv(s.ld, kFilter, nullptr, &set), 0);
    const qorhost_pool_stats after = qortest::pool_stats(s.ld->ld_pool);
    walk_and_free(s, set);
    return {static_cast<double>(after.peak_bytes - before.peak_bytes),
            static_cast<double>(after.live_bytes - before.live_bytes)};
}

// The peak resident memory of `program` run with `arguments`, its output into `output`, in KB.
// It runs as the grandchild of a fresh image of this program (--resident): a process forked from
// this one would count this one's memory as its own.
long resident_kilobytes(const std::string &output, const std::vector<std::string> &command) {
    std::string line = std::filesystem::read_symlink("/proc/self/exe").string() + " --resident '" + output + "'";
    for (const std::string &word : command) line += " '" + word + "'";
    std::unique_ptr<FILE, int (*)(FILE *)> report(popen(line.c_str(), "r"), pclose);
    long kilobytes = 0;
    if (report == nullptr || std::fscanf(report.get(), "resident=%ld", &kilobytes) != 1 || kilobytes == 0) {
        throw std::runtime_error("could not run " + command[0]);
    }
    return kilobytes;
}

// --resident OUTPUT PROGRAM ARGUMENTS...: runs the program with its output into OUTPUT and
// prints its peak resident memory; fails unless it succeeds.
int report_resident(int argc, char **argv) {
    const pid_t child = fork();
    if (child == 0) {
        const int fd = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(127);
        execv(argv[3], argv + 3);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (argc < 4 || child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return 1;
    }
    std::printf("resident=%ld\n", usage.ru_maxrss);
    return 0;
}

// `qords search` of a subtree: its peak resident memory and the LDIF (or JSON) it printed.
struct QordsRun {
    double resident_bytes = 0;
    double printed_bytes = 0;
};

enum class Output { ldif, json };

QordsRun run_qords_search(const qortest::Slapd &server, int size, Output output = Output::ldif) {
    const std::string out = (server.directory() / "qords.out").string();
    std::vector<std::string> command{std::string(QOR_BIN_DIR) + "/qords", "-H", "127.0.0.1", "-p",
                                     std::to_string(server.port()), "-b", unit_dn(size), "-z", "0"};
    if (output == Output::json) command.push_back("--json");
    command.insert(command.end(), {"search", kFilter});
    const long kilobytes = resident_kilobytes(out, command);
    struct stat printed {};
    ::stat(out.c_str(), &printed);
    ::unlink(out.c_str());
    return {static_cast<double>(kilobytes) * 1024, static_cast<double>(printed.st_size)};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// "0.81 (0.79-0.83)": the median of the rounds' ratios and their range.
std::string ratio_text(const std::vector<double> &ratios, const char *unit = "") {
    char text[96];
    const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
    if (ratios.size() == 1) {
        std::snprintf(text, sizeof text, "%.2f%s", ratios[0], unit);
    } else {
        std::snprintf(text, sizeof text, "%.2f%s (%.2f-%.2f)", median(ratios), unit, *low, *high);
    }
    return text;
}

std::string number(double value) {
    char text[48];
    const int length = std::snprintf(text, sizeof text, "%.0f", value < 0 ? 0 : value);
    std::string grouped;
    for (int i = 0; i < length; ++i) {
        if (i > 0 && (length - i) % 3 == 0) grouped += ',';
        grouped += text[i];
    }
    return grouped;
}

std::string megabytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    return text;
}

// The rounds of one row of the main table: the rates of both sides, their ratio, and the client
// processor time per unit (lookup or entry) of both sides, in microseconds.
struct Row {
    std::vector<double> raw, module, ratio, raw_cpu, module_cpu;

    void add(double raw_rate, double module_rate, double raw_cpu_per_unit, double module_cpu_per_unit) {
        raw.push_back(raw_rate);
        module.push_back(module_rate);
        ratio.push_back(module_rate / raw_rate);
        raw_cpu.push_back(1e6 * raw_cpu_per_unit);
        module_cpu.push_back(1e6 * module_cpu_per_unit);
    }
    std::string cpu() const {
        char text[64];
        std::snprintf(text, sizeof text, "%.1f / %.1f µs", median(raw_cpu), median(module_cpu));
        return text;
    }
};

// The main table: the five rows at 10,000 entries, `rounds` alternations of raw and module. Rates
// follow the machine's load; the processor time the client spends per lookup or entry does less.
void report_table(const qorldap::Directory &ds, const qortest::Slapd &server, const Options &o) {
    const std::string dn = person_dn(kTableSize);
    const std::string base = unit_dn(kTableSize);
    Row lookups, paused, subtree, cache, paged;
    std::vector<double> pauses_us;
    ModuleSession reader(ds, server, base);
    ModuleSession searcher(ds, server, base);
    ModuleSession cached(ds, server, base);
    enable_cache(cached);
    ModuleSession pager(ds, server, base);
    qorhost_set_option("LDAP_PAGESIZE", "500");
    ds.dsopt(pager.ld, -1, -1, DS_OPT_RESOLVE_SUBTREE | DS_OPT_PAGED_RESULTS, nullptr);
    for (int round = 0; round < o.rounds; ++round) {
        const RawRun raw_base = run_raw(server, dn, 0, o.seconds);
        const ModuleRun module_base = run_module(o.seconds, [&] { return read_entry(reader, dn); });
        // The module's own computing per lookup: its user time beyond the raw driver's.
        const double pause_us = std::max(0.0, 1e6 * (module_base.user / module_base.lookups -
                                                     raw_base.user / raw_base.searches));
        const RawRun raw_paused = run_raw(server, dn, 0, o.seconds, pause_us);
        pauses_us.push_back(pause_us);
        paused.add(raw_base.searches_per_second(), raw_paused.searches_per_second(), raw_base.cpu / raw_base.searches,
                   raw_paused.cpu / raw_paused.searches);
        const ModuleRun module_cache = run_module(o.seconds, [&] { return read_entry(cached, dn); });
        const RawRun raw_subtree = run_raw(server, base, 2, o.seconds);
        const ModuleRun module_subtree = run_module(o.seconds, [&] { return search_subtree(searcher); });
        const double raw_cpu_per_lookup = raw_base.cpu / raw_base.searches;
        lookups.add(raw_base.searches_per_second(), module_base.lookups_per_second(), raw_cpu_per_lookup,
                    module_base.cpu / module_base.lookups);
        cache.add(raw_base.searches_per_second(), module_cache.lookups_per_second(), raw_cpu_per_lookup,
                  module_cache.cpu / module_cache.lookups);
        subtree.add(raw_subtree.entries_per_second(), module_subtree.entries_per_second(),
                    raw_subtree.cpu / raw_subtree.entries, module_subtree.cpu / module_subtree.entries);
        const ModuleRun module_paged = run_module(o.seconds, [&] { return search_subtree(pager); });
        paged.add(module_subtree.entries_per_second(), module_paged.entries_per_second(),
                  module_subtree.cpu / module_subtree.entries, module_paged.cpu / module_paged.entries);
    }
    const double received = run_raw(server, base, 2, 0).bytes_per_search();
    const PoolUse pool = pool_use(ds, server, kTableSize);
    const QordsRun qords = run_qords_search(server, kTableSize);

    std::printf("| work (%d entries of 11 attributes, %d rounds of %.0f s) | raw limit | module | ratio | goal | "
                "client CPU, raw / module |\n",
                kTableSize, o.rounds, o.seconds);
    std::printf("|---|---|---|---|---|---|\n");
    std::printf("| base-object lookups of one entry, one session | %s /s | %s /s | %s | >= 0.90 | %s per lookup |\n",
                number(median(lookups.raw)).c_str(), number(median(lookups.module)).c_str(),
                ratio_text(lookups.ratio).c_str(), lookups.cpu().c_str());
    std::printf("| the raw driver computing %.1f µs on each answer (the module's user time per lookup beyond the raw "
                "driver's) | %s /s | (the raw driver) %s /s | %s | | %s per lookup |\n",
                median(pauses_us), number(median(paused.raw)).c_str(), number(median(paused.module)).c_str(),
                ratio_text(paused.ratio).c_str(), paused.cpu().c_str());
    std::printf("| subtree search of %s entries into a result set, walked and freed | %s entries/s | %s entries/s | %s | "
                ">= 0.80 | %s per entry |\n",
                number(kTableSize).c_str(), number(median(subtree.raw)).c_str(), number(median(subtree.module)).c_str(),
                ratio_text(subtree.ratio).c_str(), subtree.cpu().c_str());
    std::printf("| the same subtree search in pages of 500 (paged results) | (the unpaged entries/s) | %s entries/s | %s | "
                ">= 0.90 | %s per entry, unpaged / paged |\n",
                number(median(paged.module)).c_str(), ratio_text(paged.ratio).c_str(), paged.cpu().c_str());
    std::printf("| the same base lookup answered by the result cache | (the raw lookups/s) | %s /s | %s | >= 30x | %s per "
                "lookup |\n",
                number(median(cache.module)).c_str(), ratio_text(cache.ratio, "x").c_str(), cache.cpu().c_str());
    std::printf("| pool peak of that subtree search (the result set alone) | %s received | %s (%s) | %.2fx (%.2fx) | "
                "<= 2x | |\n",
                megabytes(received).c_str(), megabytes(pool.peak).c_str(), megabytes(pool.result_set).c_str(),
                pool.peak / received, pool.result_set / received);
    std::printf("| `qords search` of %s entries: resident memory | %s of LDIF printed | %s | %.1fx | <= 3x + 8 MB (%s) | "
                "|\n\n",
                number(kTableSize).c_str(), megabytes(qords.printed_bytes).c_str(),
                megabytes(qords.resident_bytes).c_str(), qords.resident_bytes / qords.printed_bytes,
                megabytes(3 * qords.printed_bytes + 8e6).c_str());
}

// How each cost grows with the size of the search: one round per size.
void report_growth(const qorldap::Directory &ds, const qortest::Slapd &server, const Options &o) {
    std::printf("| entries | raw entries/s | module entries/s | ratio | module CPU µs/entry | pool peak / received | "
                "result set / received | qords resident / LDIF | qords --json resident / JSON |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (int size : o.sizes) {
        const RawRun raw = run_raw(server, unit_dn(size), 2, o.seconds);
        ModuleSession searcher(ds, server, unit_dn(size));
        const ModuleRun module = run_module(o.seconds, [&] { return search_subtree(searcher); });
        const PoolUse pool = pool_use(ds, server, size);
        const QordsRun qords = run_qords_search(server, size);
        const QordsRun json = run_qords_search(server, size, Output::json);
        std::printf("| %s | %s | %s | %.2f | %.2f | %.2fx | %.2fx | %s / %s = %.1fx | %s / %s = %.1fx |\n",
                    number(size).c_str(),
                    number(raw.entries_per_second()).c_str(), number(module.entries_per_second()).c_str(),
                    module.entries_per_second() / raw.entries_per_second(), 1e6 * module.cpu / module.entries,
                    pool.peak / raw.bytes_per_search(), pool.result_set / raw.bytes_per_search(),
                    megabytes(qords.resident_bytes).c_str(),
                    megabytes(qords.printed_bytes).c_str(), qords.resident_bytes / qords.printed_bytes,
                    megabytes(json.resident_bytes).c_str(), megabytes(json.printed_bytes).c_str(),
                    json.resident_bytes / json.printed_bytes);
    }
}

// One module loop for a profiler: base, subtree (10,000 entries) or cache.
void run_profile(const qorldap::Directory &ds, const qortest::Slapd &server, const Options &o) {
    ModuleSession s(ds, server, unit_dn(kTableSize));
    const std::string dn = person_dn(kTableSize);
    std::function<long()> lookup = [&] { return read_entry(s, dn); };
    if (o.profile == "subtree") {
        lookup = [&] { return search_subtree(s); };
    } else if (o.profile == "cache") {
        enable_cache(s);
    } else if (o.profile != "base") {
        throw std::runtime_error("--profile takes base, subtree or cache");
    }
    const ModuleRun run = run_module(o.seconds, lookup);
    std::printf("%s: %s lookups/s, %s entries/s\n", o.profile.c_str(), number(run.lookups_per_second()).c_str(),
                number(run.entries_per_second()).c_str());
}

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) throw std::runtime_error("usage: limit_report [--seconds S] [--rounds R] [--sizes N,N,...] "
                                                    "[--profile base|subtree|cache]");
        const std::string value = argv[++i];
        if (option == "--seconds") {
            o.seconds = std::stod(value);
        } else if (option == "--rounds") {
            o.rounds = std::max(1, std::stoi(value));
        } else if (option == "--sizes") {
            o.sizes.clear();
            for (size_t at = 0; at < value.size();) {
                const size_t comma = std::min(value.find(',', at), value.size());
                o.sizes.push_back(std::stoi(value.substr(at, comma - at)));
                at = comma + 1;
            }
        } else if (option == "--profile") {
            o.profile = value;
        } else {
            throw std::runtime_error("unknown option " + option);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--resident") == 0) return report_resident(argc, argv);
    try {
        const Options o = parse(argc, argv);
        if (qortest::load_status() != 0) throw std::runtime_error("the module did not load");
        qorhost_set_encoding(20);
        qortest::SlapdOptions options;
        std::vector<int> sizes = o.sizes;
        if (std::find(sizes.begin(), sizes.end(), kTableSize) == sizes.end()) sizes.push_back(kTableSize);
        long total = 0;
        for (int size : sizes) {
            options.extra_ldif += qorbench::person_ldif("n" + std::to_string(size), kSuffix, size);
            total += size;
        }
        options.size_limit = static_cast<int>(total + 100);
        options.extra_database_config = {"maxsize 4294967296"};
        std::fprintf(stderr, "limit_report: loading %s entries into slapd\n", number(static_cast<double>(total)).c_str());
        qortest::Slapd server(options);
        const qorldap::Directory ds{qortest::vector(QORLDAP_MODULE)};
        if (!o.profile.empty()) {
            run_profile(ds, server, o);
            return 0;
        }
        report_table(ds, server, o);
        report_growth(ds, server, o);
        return 0;
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "limit_report: %s\n", failure.what());
        return 1;
    }
}
