// Attribute lists: every value kind taken from the argument list with its own copies, the list's
// exact shape, and release of everything, also when a copy fails half-way.
#include <cstring>

#include "unit_fixture.h"

namespace {

using dstest::DirectoryUnitTest;

class AttributeListTest : public DirectoryUnitTest {};

TEST_F(AttributeListTest, TakesEachKindWithItsData) {
    unsigned char bytes[3] = {0x00, 0x7f, 0xff};
    char text[] = "hello";
    dsatt *list = ds_.dsmkatt(ld_, "cn", 7, DSVAL_INT, int32_t{-42}, DSVAL_LONG, int32_t{7}, DSVAL_SHORT,
                              int32_t{40000}, DSVAL_FLOAT, 2.5, DSVAL_DOUBLE, -1e20, DSVAL_BINARY, int32_t{3},
                              static_cast<unsigned char *>(bytes), DSVAL_TEXT, static_cast<char *>(text));
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->da_name, "cn");
    ASSERT_EQ(list->da_count, 7);
    dsval **v = list->da_vals;
    EXPECT_EQ(v[0]->dv_kind, DSVAL_INT);
    EXPECT_EQ(v[0]->dv_num, -42);
    EXPECT_EQ(v[1]->dv_kind, DSVAL_LONG);
    EXPECT_EQ(v[1]->dv_num, 7);
    EXPECT_EQ(v[2]->dv_kind, DSVAL_SHORT);
    EXPECT_EQ(v[2]->dv_num, 40000);
    EXPECT_EQ(v[3]->dv_kind, DSVAL_FLOAT);
    EXPECT_EQ(v[3]->dv_dbl, 2.5);
    EXPECT_EQ(v[4]->dv_kind, DSVAL_DOUBLE);
    EXPECT_EQ(v[4]->dv_dbl, -1e20);
    EXPECT_EQ(v[5]->dv_kind, DSVAL_BINARY);
    ASSERT_EQ(v[5]->dv_binlen, 3);
    EXPECT_EQ(std::memcmp(v[5]->dv_bin, bytes, 3), 0);
    EXPECT_EQ(v[6]->dv_kind, DSVAL_TEXT);
    EXPECT_STREQ(v[6]->dv_text, "hello");
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(v[i]->dv_text, nullptr) << i;   // text forms come only when the list is sent
        EXPECT_EQ(v[i]->dv_spare, 0) << i;
    }

    // The list holds its own copies: the caller's buffers may change afterwards.
    EXPECT_NE(static_cast<void *>(v[5]->dv_bin), static_cast<void *>(bytes));
    EXPECT_NE(v[6]->dv_text, text);
    bytes[0] = 0x55;
    text[0] = 'J';
    EXPECT_EQ(v[5]->dv_bin[0], 0x00);
    EXPECT_STREQ(v[6]->dv_text, "hello");
    ds_.dsfratt(ld_, list);
}

TEST_F(AttributeListTest, UnknownKindConsumesOnlyItsKindWord) {
    dsatt *list = ds_.dsmkatt(ld_, "x", 3, int32_t{9}, DSVAL_INT, int32_t{42}, DSVAL_TEXT, "t");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->da_vals[0]->dv_kind, 9);
    EXPECT_EQ(list->da_vals[0]->dv_text, nullptr);
    EXPECT_EQ(list->da_vals[1]->dv_kind, DSVAL_INT);
    EXPECT_EQ(list->da_vals[1]->dv_num, 42);
    EXPECT_EQ(list->da_vals[2]->dv_kind, DSVAL_TEXT);
    EXPECT_STREQ(list->da_vals[2]->dv_text, "t");
    ds_.dsfratt(ld_, list);
}

TEST_F(AttributeListTest, NullNameAndNullTextBecomeEmptyAndNoValuesIsAList) {
    dsatt *list = ds_.dsmkatt(ld_, nullptr, 1, DSVAL_TEXT, static_cast<const char *>(nullptr));
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->da_name, "");
    EXPECT_STREQ(list->da_vals[0]->dv_text, "");
    ds_.dsfratt(ld_, list);

    dsatt *empty = ds_.dsmkatt(ld_, "description", 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->da_count, 0);
    EXPECT_NE(empty->da_vals, nullptr);
    ds_.dsfratt(ld_, empty);
}

TEST_F(AttributeListTest, NullSessionGivesNothing) {
    EXPECT_EQ(ds_.dsmkatt(nullptr, "cn", 1, DSVAL_INT, int32_t{1}), nullptr);
    ds_.dsfratt(nullptr, nullptr);   // no effect, no crash
    ds_.dsfratt(ld_, nullptr);
}

TEST_F(AttributeListTest, ReleaseLeavesThePoolAsBefore) {
    const long before = live_blocks();
    unsigned char bytes[2] = {1, 2};
    dsatt *list = ds_.dsmkatt(ld_, "mixed", 4, DSVAL_BINARY, int32_t{2}, static_cast<unsigned char *>(bytes),
                              DSVAL_TEXT, "abc", DSVAL_DOUBLE, 0.5, DSVAL_NONE);
    ASSERT_NE(list, nullptr);
    EXPECT_GT(live_blocks(), before);
    // A value decoded as binary after the fact owns its buffer too (kind 0 becomes kind 6).
    int32_t length = -1;
    EXPECT_NE(ds_.dsgbin(ld_, list->da_vals[3], &length), nullptr);
    EXPECT_EQ(list->da_vals[3]->dv_kind, DSVAL_BINARY);
    EXPECT_EQ(length, 0);
    ds_.dsfratt(ld_, list);
    EXPECT_EQ(live_blocks(), before);
}

// Every allocation of dsmkatt in turn fails: the answer is null with ld_errno DS_NO_MEMORY and
// nothing stays allocated; the first call that gets all its memory builds the whole list.
TEST_F(AttributeListTest, EveryAllocationFailureLeavesNothingBehind) {
    const long before = live_blocks();
    unsigned char bytes[4] = {9, 8, 7, 6};
    bool completed = false;
    for (long nth = 1; nth < 40 && !completed; ++nth) {
        ld_->ld_errno = 0;
        dsatt *list = nullptr;
        {
            qortest::FailAllocations fail(nth);
            list = ds_.dsmkatt(ld_, "cn", 3, DSVAL_TEXT, "one", DSVAL_BINARY, int32_t{4},
                               static_cast<unsigned char *>(bytes), DSVAL_INT, int32_t{5});
        }
        if (list == nullptr) {
            EXPECT_EQ(ld_->ld_errno, DS_NO_MEMORY) << "allocation " << nth;
        } else {
            completed = true;
            ASSERT_EQ(list->da_count, 3);
            EXPECT_STREQ(list->da_vals[0]->dv_text, "one");
            EXPECT_EQ(list->da_vals[1]->dv_bin[3], 6);
            EXPECT_EQ(list->da_vals[2]->dv_num, 5);
            ds_.dsfratt(ld_, list);
        }
        EXPECT_EQ(live_blocks(), before) << "allocation " << nth;
    }
    EXPECT_TRUE(completed);
}

}  // namespace
