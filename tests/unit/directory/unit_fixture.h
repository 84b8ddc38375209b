// Directory functions without a server: the vector as host programs see it, and a session handle
// that has a pool but no connection (the functions tested here use the session only for its pool).
#pragma once

#include <gtest/gtest.h>

#include "module/client/client.h"
#include "qorldap/qorldap.hpp"
#include "tests/support/runtime.h"

namespace dstest {

class DirectoryUnitTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(qortest::module_loaded()); }

    void SetUp() override {
        ld_ = ldap_init("127.0.0.1", 1);
        ASSERT_NE(ld_, nullptr);
    }
    void TearDown() override {
        qorhost_fail_reset();
        if (ld_ != nullptr) ldap_ld_free(ld_, 0);
    }

    long live_blocks() const { return qortest::pool_stats(ld_->ld_pool).live_blocks; }

    qorldap::Directory ds_{qortest::vector(QORLDAP_MODULE)};
    LDAP *ld_ = nullptr;
};

// A value record holding `text`, as a result set delivers it (kind 0, the text is the caller's).
inline dsval received(char *text) {
    dsval value{};
    value.dv_text = text;
    return value;
}

}  // namespace dstest
