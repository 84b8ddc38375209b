// wzsteqn against a control block of the test's own, so that the host data it must read at
// each call (folding table, comparison switch) and the host comparison it may delegate to are
// under the test's control; and once against the platform runtime's own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/util/util.h"
#include "tests/support/runtime.h"
#include "tests/unit/util/fake_control_block.h"

namespace {

struct HostCompareCall {
    std::string a;
    int32_t a_length;
    std::string b;
    int32_t b_length;
};
std::vector<HostCompareCall> g_host_calls;
int32_t g_host_answer = 0;

// Stand-in for the host's extended comparison (module 4, entry 66).
extern "C" int32_t fake_wzsxeqn(const char *a, int32_t a_length, const char *b, int32_t b_length) {
    g_host_calls.push_back({std::string(a, static_cast<size_t>(a_length)), a_length,
                            std::string(b, static_cast<size_t>(b_length)), b_length});
    return g_host_answer;
}

class Wzsteqn : public ::testing::Test {
protected:
    void SetUp() override {
        host_.set_service(4, 66, &fake_wzsxeqn);
        g_host_calls.clear();
        g_host_answer = 0;
    }
    void set_switch(uintptr_t on) { host_.set_compare_switch(on); }

    qortest::FakeControlBlock host_;
    std::array<uint8_t, 256> &fold_ = host_.fold_table();
};

TEST_F(Wzsteqn, ComparesThroughTheFoldingTable) {
    EXPECT_EQ(wzsteqn("CN", 2, "cn", 2), 1);
    EXPECT_EQ(wzsteqn("uniqueMember", 12, "UNIQUEMEMBER", 12), 1);
    EXPECT_EQ(wzsteqn("cn", 2, "co", 2), 0);
    EXPECT_EQ(wzsteqn("abcdeX", 6, "abcdeY", 6), 0) << "a difference in the last byte counts";
    EXPECT_TRUE(g_host_calls.empty());
}

TEST_F(Wzsteqn, LengthsMustBeEqual) {
    EXPECT_EQ(wzsteqn("cn", 2, "cn ", 3), 0);
    EXPECT_EQ(wzsteqn("cn=a", 2, "CN=b", 2), 1) << "only the counted bytes are compared";
    EXPECT_EQ(wzsteqn("", 0, "", 0), 1);
    EXPECT_EQ(wzsteqn(nullptr, 0, "", 0), 1);
}

TEST_F(Wzsteqn, TheTableIsReadAtEachCall) {
    EXPECT_EQ(wzsteqn("a", 1, "b", 1), 0);
    fold_['b'] = 'a';
    EXPECT_EQ(wzsteqn("a", 1, "b", 1), 1);
    // Bytes above 0x7F index the table as unsigned values.
    EXPECT_EQ(wzsteqn("\xc9", 1, "\xe9", 1), 0);
    fold_[0xC9] = 0xE9;
    EXPECT_EQ(wzsteqn("caf\xc9", 4, "CAF\xe9", 4), 1);
}

TEST_F(Wzsteqn, TheSwitchHandsTheDecisionToTheHost) {
    set_switch(1);
    g_host_answer = 1;
    EXPECT_EQ(wzsteqn("abc", 3, "xyz", 3), 1);
    ASSERT_EQ(g_host_calls.size(), 1u);
    EXPECT_EQ(g_host_calls[0].a, "abc");
    EXPECT_EQ(g_host_calls[0].a_length, 3);
    EXPECT_EQ(g_host_calls[0].b, "xyz");
    EXPECT_EQ(g_host_calls[0].b_length, 3);

    g_host_answer = 0;
    EXPECT_EQ(wzsteqn("CN", 2, "cn", 2), 0);
    EXPECT_EQ(host_.flag(4), 1) << "the service was reached through its stub";

    set_switch(0);
    EXPECT_EQ(wzsteqn("CN", 2, "cn", 2), 1);
    EXPECT_EQ(g_host_calls.size(), 2u);
}

TEST_F(Wzsteqn, DifferentLengthsNeverReachTheHost) {
    set_switch(1);
    g_host_answer = 1;
    EXPECT_EQ(wzsteqn("cn", 2, "cn ", 3), 0);
    EXPECT_TRUE(g_host_calls.empty());
}

TEST(WzsteqnOnTheRuntime, FoldsCaseWithTheHostTable) {
    ASSERT_TRUE(qortest::module_loaded());
    EXPECT_EQ(wzsteqn("CN", 2, "cn", 2), 1);
    EXPECT_EQ(wzsteqn("GroupOfUniqueNames", 18, "groupofuniquenames", 18), 1);
    EXPECT_EQ(wzsteqn("cn", 2, "cn ", 3), 0);
    EXPECT_EQ(wzsteqn("member", 6, "membex", 6), 0);
}

}  // namespace
