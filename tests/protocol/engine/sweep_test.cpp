// Allocation-failure sweeps: each operation runs with its 1st, 2nd, ... pool allocation failing
// until it completes untouched. Every run must end cleanly: a failure code rather than a crash,
// and, once the operation's request has been abandoned, exactly the blocks the session held
// before (plus the abandoned-id list).
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine_support.h"

namespace enginetest {
namespace {

constexpr long kMaxSweep = 400;

class SweepTest : public EngineTest {};

std::vector<Bytes> answer_directly(const qortest::ReceivedRequest &request) {
    switch (request.op) {
    case ldap::op::bind_request: return {ldap::bind_response(request.id, 0)};
    case ldap::op::delete_request: return {ldap::delete_response(request.id, 0)};
    case ldap::op::search_request:
        return {ldap::search_entry(request.id, "cn=a,o=example", {{"cn", {"a"}}, {"mail", {"a@x", "b@x"}}}),
                ldap::search_entry(request.id, "cn=b,o=example", {}),
                ldap::search_done(request.id, 0, "", "")};
    default: return {};
    }
}

// A session to `port` whose read-ahead buffer already exists (one delete answered).
LDAP *primed_session(std::uint16_t port) {
    LDAP *ld = open_session(port, 2000);
    if (ld == nullptr) return nullptr;
    take_result(ld, send_delete(ld, "cn=prime"), LDAP_RES_DELETE);
    return ld;
}

bool is_failure_code(int32_t code) {
    return code >= LDAP_SERVER_DOWN && code <= LDAP_NO_MEMORY;
}

// One run of a sweep: a fresh primed session, the live blocks it held before the run, and the
// run's number n, which is the pool allocation that fails.
struct SweepRun {
    LDAP *ld;
    long n;
    long before;
    long injected = 0;  // failures injected; a run without any completes the sweep

    // Runs `operation` with the nth allocation failing.
    template <typename Operation>
    void fail_nth(Operation operation) {
        qortest::FailAllocations fail(n);
        operation();
        injected = fail.injected();
    }

    // Abandons `id` without fault injection and checks the session holds what it held before
    // (error texts aside: a bind on a referral connection leaves them), and the `kept` blocks
    // the operation rightly leaves in it.
    void expect_released(int32_t id, long kept = 0) const {
        clear_error_texts(ld);
        EXPECT_EQ(ldap_abandon(ld, id), 0) << "run " << n;
        EXPECT_EQ(pending_count(ld), 0) << "run " << n;
        EXPECT_EQ(ld->ld_queued_responses, nullptr) << "run " << n;
        EXPECT_EQ(connection_count(ld), 1) << "run " << n;
        EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1) << "run " << n;
        EXPECT_EQ(live_blocks(ld), before + 1 + kept) << "run " << n << ": blocks left behind";
    }
};

// Runs `run` for n = 1, 2, ... on a primed session to `port`, unbinding it after each run,
// until a run injects no failure. Answers that run's n; 0 when no run completed within
// kMaxSweep or a run failed fatally.
long sweep(std::uint16_t port, const std::function<void(SweepRun &)> &run) {
    for (long n = 1; n <= kMaxSweep; ++n) {
        LDAP *ld = primed_session(port);
        EXPECT_NE(ld, nullptr) << "run " << n;
        if (ld == nullptr) return 0;
        SweepRun current{ld, n, live_blocks(ld)};
        run(current);
        ldap_unbind(ld);
        if (::testing::Test::HasFatalFailure()) return 0;
        if (current.injected == 0) return n;
    }
    return 0;
}

TEST_F(SweepTest, Open) {
    AnsweringServer server(answer_directly);
    long pools = qorhost_live_pools();
    for (long n = 1; n <= kMaxSweep; ++n) {
        LDAP *ld = nullptr;
        long injected = 0;
        {
            qortest::FailAllocations fail(n);
            ld = ldap_open("127.0.0.1", server.port());
            injected = fail.injected();
        }
        if (ld == nullptr) {
            EXPECT_EQ(qorhost_live_pools(), pools) << "run " << n;
            EXPECT_GT(injected, 0) << "run " << n;
            continue;
        }
        ldap_unbind(ld);
        if (injected == 0) {
            EXPECT_GT(n, 5) << "opening allocates more than that";
            return;
        }
    }
    FAIL() << "open never completed";
}

TEST_F(SweepTest, Bind) {
    AnsweringServer server(answer_directly);
    int32_t code = 0;
    long completed = sweep(server.port(), [&](SweepRun &run) {
        run.fail_nth([&] { code = ldap_simple_bind_s(run.ld, "cn=admin,o=example", "secret"); });
        if (code != 0) {
            EXPECT_TRUE(code == LDAP_PARAM_ERROR || is_failure_code(code)) << "run " << run.n << ": " << code;
            EXPECT_TRUE(is_failure_code(run.ld->ld_errno)) << "run " << run.n << ": ld_errno " << run.ld->ld_errno;
        }
        // A bind that succeeded leaves its DN and password for reconnects; a failed one nothing.
        run.expect_released(2, code == 0 ? 2 : 0);
    });
    ASSERT_NE(completed, 0) << "bind never completed";
    EXPECT_EQ(code, 0);
    EXPECT_GT(completed, 5) << "the bind allocates more than that";
}

TEST_F(SweepTest, Send) {
    AnsweringServer server(answer_directly);
    long completed = sweep(server.port(), [&](SweepRun &run) {
        int32_t id = 0;
        run.fail_nth([&] { id = send_search(run.ld, "o=example"); });
        if (id == -1) {
            EXPECT_TRUE(is_failure_code(run.ld->ld_errno)) << "run " << run.n;
            EXPECT_EQ(pending_count(run.ld), 0) << "run " << run.n;
            EXPECT_EQ(live_blocks(run.ld), run.before) << "run " << run.n;
        } else {
            run.expect_released(id);
        }
    });
    ASSERT_NE(completed, 0) << "send never completed";
    EXPECT_GT(completed, 3) << "sending allocates more than that";
}

// Sweeps reading the complete result of a search of `base` (id 2) from the server at `port`,
// waiting at most `timeout_ms` for it; `check` judges each run by the type ldap_result answered
// and the chain. Answers the sweep's completing n and the type of that run.
std::pair<long, int32_t> sweep_search_result(std::uint16_t port, const char *base, int32_t timeout_ms,
                                             const std::function<void(SweepRun &, int32_t, LDAPMessage *)> &check) {
    int32_t type = 0;
    long completed = sweep(port, [&](SweepRun &run) {
        int32_t id = send_search(run.ld, base);
        ASSERT_EQ(id, 2);
        LDAPMessage *chain = nullptr;
        run.fail_nth([&] { type = ldap_result(run.ld, id, 1, timeout_ms, &chain); });
        check(run, type, chain);
        run.expect_released(id);
    });
    return {completed, type};
}

TEST_F(SweepTest, Read) {
    AnsweringServer server(answer_directly);
    auto [completed, last_type] = sweep_search_result(server.port(), "o=example", 0,
                                                 [](SweepRun &run, int32_t type, LDAPMessage *chain) {
        if (type == LDAP_RES_SEARCH_RESULT) {
            EXPECT_EQ(ldap_count_entries(run.ld, chain), 2) << "run " << run.n;
            ldap_msgfree(run.ld->ld_pool, chain);
        } else {
            EXPECT_EQ(type, -1) << "run " << run.n;
            EXPECT_EQ(chain, nullptr);
            EXPECT_TRUE(is_failure_code(run.ld->ld_errno)) << "run " << run.n << ": ld_errno " << run.ld->ld_errno;
        }
    });
    ASSERT_NE(completed, 0) << "read never completed";
    EXPECT_EQ(last_type, LDAP_RES_SEARCH_RESULT);
    EXPECT_GT(completed, 8) << "reading three messages allocates more than that";
}

TEST_F(SweepTest, Chase) {
    AnsweringServer referred(answer_directly);
    std::string text = referral({url(referred.port(), "/o=b??sub"), "not a url"});
    AnsweringServer server([&](const qortest::ReceivedRequest &request) -> std::vector<Bytes> {
        if (request.op == ldap::op::search_request) return {ldap::search_done(request.id, 9, "", text)};
        return answer_directly(request);
    });
    auto [completed, last_type] = sweep_search_result(server.port(), "o=a", 300,
                                                 [](SweepRun &run, int32_t type, LDAPMessage *chain) {
        // A chase that fails ends its request: the wait never runs out.
        EXPECT_NE(type, 0) << "run " << run.n;
        if (type == LDAP_RES_SEARCH_RESULT) {
            ldap_msgfree(run.ld->ld_pool, chain);
        } else {
            EXPECT_EQ(type, -1) << "run " << run.n;
            EXPECT_TRUE(is_failure_code(run.ld->ld_errno)) << "run " << run.n << ": ld_errno " << run.ld->ld_errno;
        }
    });
    ASSERT_NE(completed, 0) << "chase never completed";
    EXPECT_EQ(last_type, LDAP_RES_SEARCH_RESULT);
    EXPECT_GT(completed, 30) << "chasing allocates more than that";
}

}  // namespace
}  // namespace enginetest
