// wzstcat: pieces into a field or a string, with separators, under a capacity.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/util/util.h"

namespace {

constexpr char kGuard = '#';

// A destination with guard bytes behind its capacity (and behind the NUL in string mode).
struct Destination {
    explicit Destination(int32_t capacity) : bytes(static_cast<size_t>(capacity) + 9, kGuard), capacity(capacity) {}
    char *data() { return bytes.data(); }
    std::string text(size_t n) const { return std::string(bytes.data(), n); }
    // True when nothing past the first `used` bytes was written.
    bool untouched_after(size_t used) const {
        for (size_t i = used; i < bytes.size(); ++i) {
            if (bytes[i] != kGuard) {
                return false;
            }
        }
        return true;
    }
    std::vector<char> bytes;
    int32_t capacity;
};

TEST(Wzstcat, FieldModeFillsTheRestWithBlanks) {
    Destination d(10);
    EXPECT_EQ(wzstcat(d.data(), 10, -1, 2, "abc", 3, "de", 2), 5);
    EXPECT_EQ(d.text(10), "abcde     ");
    EXPECT_TRUE(d.untouched_after(10));
}

TEST(Wzstcat, StringModeEndsWithANul) {
    Destination d(10);
    EXPECT_EQ(wzstcat(d.data(), -11, -1, 2, "abc", 3, "de", 2), 5);
    EXPECT_EQ(d.text(6), std::string("abcde\0", 6));
    EXPECT_TRUE(d.untouched_after(6));
}

TEST(Wzstcat, ASeparatorStandsBetweenPiecesAndTakesCapacity) {
    Destination wide(20);
    EXPECT_EQ(wzstcat(wide.data(), -21, ',', 3, "ab", 2, "cd", 2, "ef", 2), 8);
    EXPECT_EQ(wide.text(9), std::string("ab,cd,ef\0", 9));

    Destination four(4);
    EXPECT_EQ(wzstcat(four.data(), 4, ',', 2, "ab", 2, "cd", 2), 4);
    EXPECT_EQ(four.text(4), "ab,c");
    EXPECT_TRUE(four.untouched_after(4));

    Destination three(3);
    EXPECT_EQ(wzstcat(three.data(), 3, ',', 2, "ab", 2, "cd", 2), 3);
    EXPECT_EQ(three.text(3), "ab,");

    Destination two(2);  // no separator once the capacity is used up by a piece
    EXPECT_EQ(wzstcat(two.data(), -3, ',', 2, "ab", 2, "cd", 2), 2);
    EXPECT_EQ(two.text(3), std::string("ab\0", 3));
    EXPECT_TRUE(two.untouched_after(3));
}

// Whatever the capacity, the result is the longest prefix of the whole text that fits.
TEST(Wzstcat, EveryCapacityGivesThePrefixThatFits) {
    const std::string whole = "uid=x,ou=people,o=qor";
    for (int32_t capacity = 0; capacity <= 30; ++capacity) {
        const auto expected = static_cast<int32_t>(std::min<size_t>(whole.size(), static_cast<size_t>(capacity)));

        Destination string(capacity);
        ASSERT_EQ(wzstcat(string.data(), ~capacity, 0x12C, 3, "uid=x", 5, "ou=people", 9, "o=qor", 5), expected)
            << "capacity " << capacity;
        EXPECT_EQ(string.text(static_cast<size_t>(expected) + 1), whole.substr(0, expected) + '\0');
        EXPECT_TRUE(string.untouched_after(static_cast<size_t>(expected) + 1));

        Destination field(capacity);
        ASSERT_EQ(wzstcat(field.data(), capacity, -1, 4, "uid=x,", 6, "ou=", 3, "people,", 7, "o=qor", 5), expected);
        EXPECT_EQ(field.text(static_cast<size_t>(capacity)),
                  whole.substr(0, expected) + std::string(static_cast<size_t>(capacity - expected), ' '));
        EXPECT_TRUE(field.untouched_after(static_cast<size_t>(capacity)));
    }
}

TEST(Wzstcat, NoPiecesGiveABlankFieldOrAnEmptyString) {
    Destination field(5);
    EXPECT_EQ(wzstcat(field.data(), 5, ',', 0), 0);
    EXPECT_EQ(field.text(5), "     ");
    EXPECT_TRUE(field.untouched_after(5));

    Destination string(5);
    EXPECT_EQ(wzstcat(string.data(), -6, -1, 0), 0);
    EXPECT_EQ(string.bytes[0], '\0');
    EXPECT_TRUE(string.untouched_after(1));

    Destination none(0);
    EXPECT_EQ(wzstcat(none.data(), -1, -1, 1, "abc", 3), 0);
    EXPECT_EQ(none.bytes[0], '\0');
    EXPECT_TRUE(none.untouched_after(1));
}

TEST(Wzstcat, PiecesAreCountedBytes) {
    Destination d(8);
    // Only the counted bytes are taken, NUL bytes included.
    EXPECT_EQ(wzstcat(d.data(), 8, -1, 2, "abcdef", 2, "x\0y", 3), 5);
    EXPECT_EQ(d.text(8), std::string("abx\0y   ", 8));
}

TEST(Wzstcat, EmptyPiecesStillGetTheirSeparators) {
    Destination d(10);
    EXPECT_EQ(wzstcat(d.data(), -11, ';', 3, "", 0, "a", 1, "", 0), 3);
    EXPECT_EQ(d.text(4), std::string(";a;\0", 4));
}

TEST(Wzstcat, AbsentAndNegativeLengthPiecesAreEmpty) {
    Destination d(10);
    EXPECT_EQ(wzstcat(d.data(), -11, -1, 3, "ab", -5, static_cast<const char *>(nullptr), 4, "cd", 2), 2);
    EXPECT_EQ(d.text(3), std::string("cd\0", 3));
}

TEST(Wzstcat, AppendingStartsWhereTheCallerPointsIt) {
    char buffer[16] = "keep";
    EXPECT_EQ(wzstcat(buffer + 4, -12, -1, 1, "+more", 5), 5);
    EXPECT_STREQ(buffer, "keep+more");
}

}  // namespace
