// wzbltob: decimal text into a counted field, with its fill-on-overflow rule.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "module/util/util.h"

namespace {

constexpr char kEdit[] = " -*0123456789";
constexpr char kGuard = '#';

struct Converted {
    int32_t status;
    int32_t field_length;
    std::string field;    // the whole field as given (capacity bytes)
    bool guard_intact;    // nothing written past the field
};

Converted convert(int32_t value, int32_t capacity, const char *edit = kEdit) {
    std::vector<char> buffer(static_cast<size_t>(capacity) + 8, kGuard);
    Converted c{};
    c.field_length = capacity;
    c.status = wzbltob(value, buffer.data(), &c.field_length, edit);
    c.field.assign(buffer.data(), static_cast<size_t>(capacity));
    c.guard_intact = std::string(buffer.begin() + capacity, buffer.end()) == std::string(8, kGuard);
    return c;
}

TEST(Wzbltob, WritesTheDigitsAtTheStartOfTheField) {
    Converted c = convert(0, 13);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.field_length, 1);
    EXPECT_EQ(c.field.substr(0, 1), "0");
    EXPECT_EQ(c.field.substr(1), std::string(12, kGuard)) << "no NUL, no padding";

    c = convert(-305, 13);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.field_length, 4);
    EXPECT_EQ(c.field.substr(0, 4), "-305");

    c = convert(1000000, 13);
    EXPECT_EQ(c.field_length, 7);
    EXPECT_EQ(c.field.substr(0, 7), "1000000");
}

TEST(Wzbltob, TheExtremeValuesHaveTheirFullText) {
    Converted c = convert(INT_MIN, 13);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.field_length, 11);
    EXPECT_EQ(c.field.substr(0, 11), "-2147483648");

    c = convert(INT_MAX, 13);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.field.substr(0, c.field_length), "2147483647");

    c = convert(-1, 13);
    EXPECT_EQ(c.field.substr(0, c.field_length), "-1");
}

TEST(Wzbltob, TextLongerThanTheFieldFillsItAndKeepsItsLength) {
    Converted c = convert(123456, 3);
    EXPECT_EQ(c.status, kFieldTooShort);
    EXPECT_EQ(c.field_length, 3);
    EXPECT_EQ(c.field, "***");
    EXPECT_TRUE(c.guard_intact);

    c = convert(INT_MIN, 10);  // eleven characters in ten places
    EXPECT_EQ(c.status, kFieldTooShort);
    EXPECT_EQ(c.field, std::string(10, '*'));
    EXPECT_TRUE(c.guard_intact);
}

TEST(Wzbltob, TheFieldMayBeExactlyAsLongAsTheText) {
    Converted c = convert(123, 3);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.field, "123");
    EXPECT_TRUE(c.guard_intact);

    c = convert(-12, 3);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.field, "-12");

    c = convert(-12, 2);  // the sign counts
    EXPECT_EQ(c.status, kFieldTooShort);
    EXPECT_EQ(c.field, "**");
    EXPECT_TRUE(c.guard_intact);
}

TEST(Wzbltob, AnEmptyFieldTakesNothing) {
    Converted c = convert(5, 0);
    EXPECT_EQ(c.status, kFieldTooShort);
    EXPECT_EQ(c.field_length, 0);
    EXPECT_TRUE(c.guard_intact);
}

TEST(Wzbltob, TheEditCharactersGiveSignFillAndDigits) {
    // Position 0 is never used; 1 minus, 2 fill, 3..12 the digits 0..9.
    const char edit[] = "?~#abcdefghij";
    Converted c = convert(-9051, 13, edit);
    EXPECT_EQ(c.field.substr(0, c.field_length), "~jafb");
    c = convert(99, 1, edit);
    EXPECT_EQ(c.status, kFieldTooShort);
    EXPECT_EQ(c.field, "#");
}

}  // namespace
