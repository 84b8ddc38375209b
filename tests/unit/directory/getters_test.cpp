// Typed value access: conversion on first read and reuse afterwards, the shared views of each
// family, the kinds recorded, Base64 decoding into the session's pool, and values another family
// has converted.
#include <cstring>

#include "unit_fixture.h"

namespace {

using dstest::DirectoryUnitTest;
using dstest::received;

class GettersTest : public DirectoryUnitTest {};

TEST_F(GettersTest, IntegersFollowTheDecimalReader) {
    struct Case {
        const char *text;
        int32_t number;
    } cases[] = {{"-5", -5}, {"  42", 42}, {"12abc", 12}, {"abc", 0}, {"2147483648", 0},
                 {"- 7", -7}, {"+13", 13}, {"", 0}, {"2147483647", 2147483647},
                 {"-2147483648", INT32_MIN}};
    for (const Case &c : cases) {
        dsval as_int = received(const_cast<char *>(c.text));
        dsval as_long = received(const_cast<char *>(c.text));
        dsval as_short = received(const_cast<char *>(c.text));
        EXPECT_EQ(ds_.dsgint(&as_int), c.number) << c.text;
        EXPECT_EQ(ds_.dsglong(&as_long), c.number) << c.text;
        EXPECT_EQ(ds_.dsgshrt(&as_short), static_cast<int16_t>(c.number)) << c.text;
        EXPECT_EQ(as_int.dv_kind, DSVAL_INT);
        EXPECT_EQ(as_long.dv_kind, DSVAL_LONG);
        EXPECT_EQ(as_short.dv_kind, DSVAL_SHORT);
    }
}

TEST_F(GettersTest, ShortTakesTheLowSixteenBitsSignExtended) {
    char big[] = "70000";
    char wrap[] = "40000";
    dsval a = received(big);
    dsval b = received(wrap);
    EXPECT_EQ(ds_.dsgshrt(&a), 4464);
    EXPECT_EQ(ds_.dsgshrt(&b), -25536);
    EXPECT_EQ(b.dv_num, 40000);   // the record keeps the whole number
}

TEST_F(GettersTest, ConvertedOnceThenKept) {
    char text[] = "17";
    dsval value = received(text);
    EXPECT_EQ(ds_.dsgint(&value), 17);
    text[0] = '9';   // the text changes; the kept number does not
    EXPECT_EQ(ds_.dsglong(&value), 17);
    EXPECT_EQ(ds_.dsgshrt(&value), 17);
    EXPECT_EQ(value.dv_kind, DSVAL_INT);
    EXPECT_EQ(ds_.dsgstr(&value), text);
}

TEST_F(GettersTest, FloatingGettersShareTheDoubleAndRecordTheirKind) {
    char text[] = "2.5e1";
    dsval value = received(text);
    EXPECT_EQ(ds_.dsgdbl(&value), 25.0);
    EXPECT_EQ(value.dv_kind, DSVAL_DOUBLE);
    text[0] = '7';
    EXPECT_EQ(ds_.dsgflt(&value), 25.0f);
    EXPECT_EQ(value.dv_kind, DSVAL_FLOAT);
    EXPECT_EQ(ds_.dsgdbl(&value), 25.0);
    EXPECT_EQ(value.dv_kind, DSVAL_DOUBLE);

    char third[] = "0.1";
    dsval single = received(third);
    EXPECT_EQ(ds_.dsgflt(&single), 0.1f);   // rounded to single precision
    EXPECT_EQ(single.dv_dbl, 0.1);
}

TEST_F(GettersTest, ReadingThroughAnotherFamilyNeverReinterpretsTheRecord) {
    char number[] = "42";
    dsval integer = received(number);
    ASSERT_EQ(ds_.dsgint(&integer), 42);
    EXPECT_EQ(ds_.dsgdbl(&integer), 42.0);
    EXPECT_EQ(integer.dv_kind, DSVAL_INT);   // the integer view stays the record's
    int32_t length = -1;
    EXPECT_EQ(ds_.dsgbin(ld_, &integer, &length), nullptr);
    EXPECT_EQ(length, 0);

    char fraction[] = "-3.75";
    dsval floating = received(fraction);
    ASSERT_EQ(ds_.dsgdbl(&floating), -3.75);
    EXPECT_EQ(ds_.dsgint(&floating), -3);
    char huge[] = "1e12";
    dsval large = received(huge);
    ASSERT_EQ(ds_.dsgdbl(&large), 1e12);
    EXPECT_EQ(ds_.dsgint(&large), INT32_MAX);

    // A decoded binary value keeps its kind, so its buffer stays owned by the record.
    char base64[] = "AAEC";
    dsval binary = received(base64);
    ASSERT_NE(ds_.dsgbin(ld_, &binary, &length), nullptr);
    EXPECT_EQ(ds_.dsgdbl(&binary), 0.0);
    EXPECT_EQ(ds_.dsgflt(&binary), 0.0f);
    EXPECT_EQ(ds_.dsgint(&binary), 0);
    EXPECT_EQ(binary.dv_kind, DSVAL_BINARY);
    EXPECT_EQ(ds_.dsgbin(ld_, &binary, &length), binary.dv_bin);
    EXPECT_EQ(length, 3);
}

TEST_F(GettersTest, BinaryDecodesOnceIntoTheSessionPool) {
    char text[] = "AP8=\n";   // bytes 00 ff
    dsval value = received(text);
    const long before = live_blocks();
    int32_t length = -1;
    unsigned char *bytes = ds_.dsgbin(ld_, &value, &length);
    ASSERT_NE(bytes, nullptr);
    ASSERT_EQ(length, 2);
    EXPECT_EQ(bytes[0], 0x00);
    EXPECT_EQ(bytes[1], 0xff);
    EXPECT_EQ(value.dv_kind, DSVAL_BINARY);
    EXPECT_EQ(live_blocks(), before + 1);
    int32_t again = -1;
    EXPECT_EQ(ds_.dsgbin(ld_, &value, &again), bytes);   // no second buffer
    EXPECT_EQ(again, 2);
    EXPECT_EQ(live_blocks(), before + 1);
    EXPECT_STREQ(ds_.dsgstr(&value), "AP8=\n");

    char empty[] = "";
    dsval nothing = received(empty);
    EXPECT_NE(ds_.dsgbin(ld_, &nothing, &length), nullptr);
    EXPECT_EQ(length, 0);
}

TEST_F(GettersTest, BinaryWithoutMemoryStaysUnconvertedAndCanBeReadLater) {
    char text[] = "AAEC";
    dsval value = received(text);
    int32_t length = 77;
    const long before = live_blocks();
    {
        qortest::FailAllocations fail(1);
        EXPECT_EQ(ds_.dsgbin(ld_, &value, &length), nullptr);
    }
    EXPECT_EQ(length, 77);
    EXPECT_EQ(value.dv_kind, DSVAL_NONE);
    EXPECT_EQ(live_blocks(), before);
    unsigned char *bytes = ds_.dsgbin(ld_, &value, &length);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(bytes[2], 2);
}

TEST_F(GettersTest, NullValuesAreHarmless) {
    int32_t length = 5;
    EXPECT_EQ(ds_.dsgint(nullptr), 0);
    EXPECT_EQ(ds_.dsgshrt(nullptr), 0);
    EXPECT_EQ(ds_.dsgdbl(nullptr), 0.0);
    EXPECT_EQ(ds_.dsgstr(nullptr), nullptr);
    EXPECT_EQ(ds_.dsgbin(ld_, nullptr, &length), nullptr);
    EXPECT_EQ(length, 0);
}

}  // namespace
