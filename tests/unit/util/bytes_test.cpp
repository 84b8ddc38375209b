// wzstlen, wzstpos and wzbmndi: measuring, searching and moving counted bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "module/util/util.h"

namespace {

TEST(Wzstlen, CountsUpToTheFirstNul) {
    EXPECT_EQ(wzstlen(nullptr), 0);
    EXPECT_EQ(wzstlen(""), 0);
    EXPECT_EQ(wzstlen("cn=a,o=b"), 8);
    EXPECT_EQ(wzstlen("ab\0cd"), 2);
    const std::string longer(5000, 'x');
    EXPECT_EQ(wzstlen(longer.c_str()), 5000);
}

TEST(Wzstpos, FindsTheFirstOccurrence) {
    EXPECT_EQ(wzstpos("cn=a,o=b", 8, '='), 2);
    EXPECT_EQ(wzstpos("cn=a,o=b", 8, 'b'), 7);
    EXPECT_EQ(wzstpos("cn=a,o=b", 8, 'z'), -1);
}

TEST(Wzstpos, LooksOnlyAtTheCountedBytes) {
    EXPECT_EQ(wzstpos("cn=a,o=b", 7, 'b'), -1);
    EXPECT_EQ(wzstpos("cn=a,o=b", 2, '='), -1);
    // A NUL does not end the scan, and can itself be found.
    const char bytes[] = {'a', '\0', 'b'};
    EXPECT_EQ(wzstpos(bytes, 3, 'b'), 2);
    EXPECT_EQ(wzstpos(bytes, 3, 0), 1);
}

TEST(Wzstpos, AbsentOrEmptyTextHasNoPosition) {
    EXPECT_EQ(wzstpos(nullptr, 8, '='), -1);
    EXPECT_EQ(wzstpos("=", 0, '='), -1);
    EXPECT_EQ(wzstpos("=", -3, '='), -1);
}

TEST(Wzstpos, ComparesTheLowByteUnsigned) {
    const char latin[] = "caf\xe9";
    EXPECT_EQ(wzstpos(latin, 4, 0xE9), 3);
    EXPECT_EQ(wzstpos(latin, 4, -23), 3);       // 0xFFFFFFE9: low byte 0xE9
    EXPECT_EQ(wzstpos("a=b", 3, 0x13D), 1);     // low byte '='
}

// Every placement of a move inside one buffer, against a move known to be overlap-safe.
TEST(Wzbmndi, MovesCorrectlyForEveryOverlap) {
    constexpr int kSize = 24;
    for (int from = 0; from < kSize; ++from) {
        for (int to = 0; to < kSize; ++to) {
            const int longest = kSize - std::max(from, to);
            for (int length = 0; length <= longest; ++length) {
                std::vector<uint8_t> actual(kSize);
                std::iota(actual.begin(), actual.end(), uint8_t{1});
                std::vector<uint8_t> expected = actual;
                std::memmove(expected.data() + to, expected.data() + from, static_cast<size_t>(length));
                wzbmndi(actual.data() + from, actual.data() + to, length);
                ASSERT_EQ(actual, expected) << "from " << from << " to " << to << " length " << length;
            }
        }
    }
}

TEST(Wzbmndi, ForwardOverlapKeepsTheBytesInFront) {
    char buffer[] = "ABCDEFGHIJ";
    wzbmndi(buffer, buffer + 2, 5);
    EXPECT_STREQ(buffer, "ABABCDEHIJ");
}

TEST(Wzbmndi, SourceComesFirstAndNonPositiveLengthsMoveNothing) {
    char source[] = "source";
    char target[] = "target";
    wzbmndi(source, target, 3);
    EXPECT_STREQ(target, "souget");
    EXPECT_STREQ(source, "source");
    wzbmndi(source, target, 0);
    wzbmndi(source, target, -4);
    EXPECT_STREQ(target, "souget");
}

TEST(Wzbmndi, MovesBetweenSeparateBuffers) {
    std::vector<uint8_t> from(1000), to(1000, 0);
    std::iota(from.begin(), from.end(), uint8_t{0});
    wzbmndi(from.data(), to.data(), 1000);
    EXPECT_EQ(from, to);
}

}  // namespace
