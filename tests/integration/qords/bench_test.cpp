// qords bench and the module's result cache: how many searches reach the server is read from
// the server's monitor database.
#include "latencies.h"
#include "qords_fixture.h"

namespace qordstest {
namespace {

constexpr const char *kSearches = "cn=Search,cn=Operations,cn=Monitor";

class QordsBench : public QordsTest {
protected:
    static void SetUpTestSuite() {
        qortest::SlapdOptions options;
        options.extra_database_config = {"database monitor", "access to dn.subtree=\"cn=Monitor\" by * read"};
        start_server(options);
    }

    // Searches the server has completed so far (this one included).
    long searches_completed() const {
        const auto json = json_of({"read", kSearches, "monitorOpCompleted"});
        if (json.size() != 1 || json[0].get("monitorOpCompleted").size() != 1) return -1;
        return std::stol(json[0].get("monitorOpCompleted")[0]);
    }

    // The figures of a bench run's JSON line.
    static double figure(const std::string &json, const std::string &name) {
        const size_t at = json.find("\"" + name + "\": ");
        if (at == std::string::npos) return -1;
        return std::stod(json.substr(at + name.size() + 4));
    }
};

TEST_F(QordsBench, CountsLookupsForTheTimeAsked) {
    const Outcome outcome = qords({"--json", "bench", "read", "cn=Bob Baker,ou=people,o=example", "--seconds", "1"});
    ASSERT_TRUE(exited_with(outcome, 0));
    const double lookups = figure(outcome.out, "lookups");
    EXPECT_GT(lookups, 10);
    EXPECT_GE(figure(outcome.out, "seconds"), 1.0);
    const double rate = lookups / figure(outcome.out, "seconds");   // seconds printed to the millisecond
    EXPECT_NEAR(figure(outcome.out, "lookups_per_second"), rate, rate * 0.002 + 1);
    EXPECT_NE(outcome.out.find("\"cache\": false"), std::string::npos);

    const Outcome text = qords({"bench", "search", "(uid=bob)", "--seconds", "1"});
    ASSERT_TRUE(exited_with(text, 0));
    EXPECT_EQ(text.out.rfind("bench search (uid=bob): ", 0), 0u) << text.out;
    EXPECT_NE(text.out.find(" lookups/s; latency p50 "), std::string::npos) << text.out;
    EXPECT_EQ(text.err, "") << "no live rate without a terminal";
}

TEST_F(QordsBench, FailingLookupStopsTheBench) {
    const Outcome outcome = qords({"bench", "read", "cn=Nobody,ou=people,o=example", "--seconds", "1"});
    EXPECT_TRUE(exited_with(outcome, 4));
    EXPECT_NE(outcome.err.find("No such object (0x80144020)"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.out, "");
}

TEST_F(QordsBench, ResultCacheAnswersRepeatedSearches) {
    const long before = searches_completed();
    ASSERT_GE(before, 0);
    const Outcome cached = qords({"--json", "--cache", "60", "bench", "search", "(uid=bob)", "--seconds", "1"});
    ASSERT_TRUE(exited_with(cached, 0));
    const double lookups = figure(cached.out, "lookups");
    EXPECT_GT(lookups, 10);
    const long after = searches_completed();
    // The first search, and the monitor read that counts itself.
    EXPECT_LE(after - before, 3) << lookups << " lookups";

    const Outcome uncached = qords({"--json", "bench", "search", "(uid=bob)", "--seconds", "1"});
    ASSERT_TRUE(exited_with(uncached, 0));
    EXPECT_GE(searches_completed() - after, static_cast<long>(figure(uncached.out, "lookups")));

    // The cached answer is the server's answer.
    EXPECT_EQ(qords({"--cache", "60", "search", "(uid=bob)"}).out, qords({"search", "(uid=bob)"}).out);
}

TEST_F(QordsBench, JsonStaysValidForATargetThatIsNotUtf8) {
    const Outcome outcome = qords({"--json", "bench", "search", "(cn=\xff)", "--seconds", "1"});
    ASSERT_TRUE(exited_with(outcome, 0));
    EXPECT_NE(outcome.out.find("\"target\": \"(cn=\xef\xbf\xbd)\""), std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.find('\xff'), std::string::npos) << outcome.out;
}

// A bench keeps its latencies in bounded memory: exactly up to a limit, in 1% buckets beyond.
TEST(QordsBenchLatencies, ExactWithinTheLimitBoundedBeyond) {
    qords::Latencies exact(1000);
    EXPECT_EQ(exact.percentile(0.5), 0);
    for (int i = 1000; i >= 1; --i) exact.add(i * 0.01);   // 0.01 .. 10 ms, in reverse
    EXPECT_EQ(exact.count(), 1000u);
    EXPECT_DOUBLE_EQ(exact.percentile(0.0), 0.01);
    EXPECT_DOUBLE_EQ(exact.percentile(0.5), 5.01);   // rank round(0.5 * 999) = 500
    EXPECT_DOUBLE_EQ(exact.percentile(0.99), 9.90);
    EXPECT_DOUBLE_EQ(exact.percentile(1.0), 10.0);
    EXPECT_DOUBLE_EQ(exact.max(), 10.0);

    qords::Latencies bounded(1000);
    for (int i = 1; i <= 1000; ++i) bounded.add(i * 0.01);
    const size_t held = bounded.bytes_held();
    for (int round = 0; round < 99; ++round)
        for (int i = 1; i <= 1000; ++i) bounded.add(i * 0.01);
    EXPECT_EQ(bounded.count(), 100000u);
    EXPECT_LE(bounded.bytes_held(), held) << "memory must not grow with the run";
    EXPECT_NEAR(bounded.percentile(0.5), 5.0, 5.0 * 0.01);
    EXPECT_NEAR(bounded.percentile(0.99), 9.9, 9.9 * 0.01);
    EXPECT_NEAR(bounded.percentile(0.0), 0.01, 0.01 * 0.01);
    EXPECT_LE(bounded.percentile(1.0), 10.0);
    EXPECT_DOUBLE_EQ(bounded.max(), 10.0);

    qords::Latencies extremes(1);
    extremes.add(0);
    extremes.add(-1);
    extremes.add(1e12);   // beyond the last bucket
    EXPECT_EQ(extremes.percentile(0.0), 0.5e-4);
    EXPECT_DOUBLE_EQ(extremes.percentile(1.0), 1e12);
}

}  // namespace
}  // namespace qordstest
