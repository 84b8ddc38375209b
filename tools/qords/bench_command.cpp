// bench: one lookup repeated on one session for a while; lookups per second and latencies.
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "commands.h"
#include "json_writer.h"
#include "latencies.h"
#include "report.h"
#include "session.h"
#include "usage_error.h"

namespace qords {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kDefaultSeconds = 5;
constexpr auto kLiveInterval = std::chrono::milliseconds(250);

struct Measurement {
    double open_ms = 0;  // dsopen: connection, TLS, bind
    size_t lookups = 0;
    double seconds = 0;
    Latencies latencies_ms;
};

void print_result(const std::string &kind, const std::string &target, const Measurement &m, bool cached, bool json) {
    const double rate = m.seconds > 0 ? static_cast<double>(m.lookups) / m.seconds : 0;
    const double p50 = m.latencies_ms.percentile(0.50);
    const double p99 = m.latencies_ms.percentile(0.99);
    const double worst = m.latencies_ms.max();
    if (json) {
        std::printf(
            "{\"bench\": %s, \"target\": %s, \"cache\": %s, \"lookups\": %zu, \"seconds\": %.3f, "
            "\"lookups_per_second\": %.1f, "
            "\"latency_ms\": {\"p50\": %.4f, \"p99\": %.4f, \"max\": %.4f}, \"open_ms\": %.3f}\n",
            json_string(kind).c_str(), json_text_string(target).c_str(), cached ? "true" : "false", m.lookups,
            m.seconds, rate, p50, p99, worst, m.open_ms);
        return;
    }
    std::printf(
        "bench %s %s%s: %zu lookups in %.2f s: %.0f lookups/s; latency p50 %.3f ms, p99 %.3f ms, max %.3f ms; "
        "session opened in %.2f ms\n",
        kind.c_str(), target.c_str(), cached ? " (result cache)" : "", m.lookups, m.seconds, rate, p50, p99, worst,
        m.open_ms);
}

}  // namespace

int run_bench(const Context &context) {
    const std::string &kind = context.arguments()[0];
    const std::string &target = context.arguments()[1];
    if (kind != "read" && kind != "search")
        throw UsageError("bench runs \"read DN\" or \"search FILTER\", not \"" + kind + "\"");
    const bool read = kind == "read";
    if (!read) check_filter(target);
    const std::string what = "bench " + kind + " " + target;
    const Settings &settings = context.settings();
    const auto duration = std::chrono::seconds(settings.bench_seconds.value_or(kDefaultSeconds));
    const bool live = ::isatty(STDERR_FILENO) != 0;

    Measurement m;
    qorldap::Session session(context.module.directory());
    const Clock::time_point opening = Clock::now();
    if (std::optional<int> failed = open_session(context, read ? BaseUse::unused : BaseUse::needed, session))
        return *failed;
    m.open_ms = std::chrono::duration<double, std::milli>(Clock::now() - opening).count();

    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + duration;
    Clock::time_point next_report = start + kLiveInterval;
    for (Clock::time_point now = start; now < end;) {
        const Clock::time_point before = now;
        int32_t status = DS_OK;
        {
            qorldap::ResultSet results(session);
            status = read ? results.resolve_dn(target.c_str()) : results.resolve(target.c_str());
        }
        now = Clock::now();
        if (DS_FAILED(status)) {
            if (live) std::fputs("\r\033[K", stderr);
            return report_failure(context.module, session.get(), settings.verbose, what, status);
        }
        ++m.lookups;
        m.latencies_ms.add(std::chrono::duration<double, std::milli>(now - before).count());
        if (live && now >= next_report) {
            const double elapsed = std::chrono::duration<double>(now - start).count();
            std::fprintf(stderr, "\r\033[K%s: %zu lookups, %.0f lookups/s", what.c_str(), m.lookups,
                         static_cast<double>(m.lookups) / elapsed);
            next_report = now + kLiveInterval;
        }
        if (now >= end) m.seconds = std::chrono::duration<double>(now - start).count();
    }
    if (live) std::fputs("\r\033[K", stderr);
    print_result(kind, target, m, settings.cache_seconds.has_value(), settings.json);
    return kExitSuccess;
}

}  // namespace qords
