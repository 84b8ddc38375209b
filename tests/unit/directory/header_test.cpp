// The public header: compiles as strict C99, lays the records out as host programs walk them,
// and every slot of the published vector holds its function.
#include <cstddef>
#include <cstdlib>
#include <string>

#include "unit_fixture.h"

namespace {

TEST(PublicHeader, CompilesAsStrictC99) {
    const std::string command = std::string("cc -std=c99 -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -I") +
                                QOR_SOURCE_DIR "/include " QOR_SOURCE_DIR "/tests/unit/directory/c99_header.c";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(PublicHeader, RecordsHaveTheHostLayout) {
#if defined(__i386__)
    EXPECT_EQ(sizeof(dsval), 20u);
    EXPECT_EQ(offsetof(dsval, dv_kind), 0u);
    EXPECT_EQ(offsetof(dsval, dv_spare), 4u);
    EXPECT_EQ(offsetof(dsval, dv_area), 8u);
    EXPECT_EQ(offsetof(dsval, dv_area.bin.length), 12u);
    EXPECT_EQ(offsetof(dsval, dv_text), 16u);
    EXPECT_EQ(sizeof(dsatt), 12u);
    EXPECT_EQ(offsetof(dsatt, da_count), 8u);
    EXPECT_EQ(sizeof(dsent), 8u);
    EXPECT_EQ(offsetof(dsent, de_atts), 4u);
#else
    GTEST_SKIP() << "the host layout is the 32-bit one";
#endif
}

TEST(PublicHeader, StatusCodesFoldAsDocumented) {
    EXPECT_EQ(static_cast<uint32_t>(DS_STATUS(32)), 0x80144020u);
    EXPECT_EQ(DS_WARNING(4), 0x00144004);
    EXPECT_EQ(DS_STATUS(0x85a), DS_NO_MEMORY);   // only the low eleven bits are folded in
    EXPECT_TRUE(DS_FAILED(DS_NO_SESSION));
    EXPECT_FALSE(DS_FAILED(DS_SIZELIMIT_WARNING));
    EXPECT_EQ(DS_CODE(DS_COMPARE_TRUE), 6);
}

TEST(PublishedVector, EverySlotFromFourOnIsFilled) {
    ASSERT_TRUE(qortest::module_loaded());
    void **vector = qortest::vector(QORLDAP_MODULE);
    ASSERT_NE(vector, nullptr);
    for (int slot = 0; slot < 4; ++slot) EXPECT_EQ(vector[slot], nullptr) << slot;
    for (int slot = QORLDAP_TERM; slot < QORLDAP_SLOTS; ++slot) EXPECT_NE(vector[slot], nullptr) << slot;
}

}  // namespace
