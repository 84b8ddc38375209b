// wzsteqn against a control block of the test's own, so that the host data it must read at
// each call (folding table, comparison switch) and the host comparison it may delegate to are
// under the test's control.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "module/host/host_types.h"
#include "module/util/util.h"

namespace {

// The module's own control-block anchor (looked up in the module, so that no copy of the
// variable in the test program stands in for it).
uintptr_t *module_anchor() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&wzsteqn), &info) == 0 || info.dli_fname == nullptr) {
        return nullptr;
    }
    void *module = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr) {
        return nullptr;
    }
    auto *anchor = static_cast<uintptr_t *>(dlsym(module, "v_global_gcb_anchor"));
    dlclose(module);
    return anchor;
}

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
        anchor_ = module_anchor();
        ASSERT_NE(anchor_, nullptr);
        saved_ = *anchor_;
        for (int c = 0; c < 256; ++c) {
            fold_[c] = static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
        compare_vector_[66] = reinterpret_cast<uintptr_t>(&fake_wzsxeqn);
        module_vectors_[4] = reinterpret_cast<uintptr_t>(compare_vector_.data());
        block_[kGcbModuleVectors] = reinterpret_cast<uintptr_t>(module_vectors_.data());
        block_[kGcbModuleFlags] = reinterpret_cast<uintptr_t>(module_flags_.data());
        block_[kGcbFoldTable] = reinterpret_cast<uintptr_t>(fold_.data());
        block_[kGcbCompareSwitch] = reinterpret_cast<uintptr_t>(compare_record_.data());
        *anchor_ = reinterpret_cast<uintptr_t>(block_.data());
        g_host_calls.clear();
        g_host_answer = 0;
    }
    void TearDown() override {
        if (anchor_ != nullptr) {
            *anchor_ = saved_;
        }
    }
    void set_switch(uintptr_t on) { compare_record_[kCompareSwitchWord] = on; }

    uintptr_t *anchor_ = nullptr;
    uintptr_t saved_ = 0;
    std::array<uintptr_t, 64> block_{};
    std::array<uintptr_t, 8> module_vectors_{};
    std::array<uint8_t, 64> module_flags_{};
    std::array<uintptr_t, 128> compare_vector_{};
    std::array<uintptr_t, 8> compare_record_{};
    std::array<uint8_t, 256> fold_{};
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
    EXPECT_EQ(module_flags_[4], 1) << "the service was reached through its stub";

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

}  // namespace
