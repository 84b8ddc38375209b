// qords bench and the module's result cache: how many searches reach the server is read from
// the server's monitor database.
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

}  // namespace
}  // namespace qordstest
