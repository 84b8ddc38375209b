// zatoi: scan codes, stop index and value for the texts its callers feed it (ports, numeric
// attribute values), including the overflow and sign rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "module/util/util.h"

namespace {

struct Scan {
    int32_t code;
    int32_t stop;
    int32_t value;
};

// Scans `text` with its own length unless `length` is given.
Scan scan(const std::string &text, int32_t accept_sign, int32_t length = -2) {
    Scan s{-1, -99, -99};
    s.code = zatoi(text.data(), length == -2 ? static_cast<int32_t>(text.size()) : length, accept_sign,
                   &s.stop, &s.value);
    return s;
}

void expect_scan(const Scan &s, int32_t code, int32_t value, int32_t stop) {
    EXPECT_EQ(s.code, code);
    EXPECT_EQ(s.value, value);
    EXPECT_EQ(s.stop, stop);
}

TEST(Zatoi, ReadsDigitsAndStopsAtTheFirstOtherCharacter) {
    expect_scan(scan(" 42 ", 0), kScanNumber, 42, 3);
    expect_scan(scan("389", 0), kScanNumber, 389, 3);
    expect_scan(scan("0007x", 0), kScanNumber, 7, 4);
    expect_scan(scan("12:34", 0), kScanNumber, 12, 2);
}

TEST(Zatoi, OnlyTheBlankIsSkippedNotOtherWhiteSpace) {
    expect_scan(scan("\t5", 0), kScanNothing, 0, 0);
    expect_scan(scan("  \n5", 0), kScanNothing, 0, 2);
}

TEST(Zatoi, SignsAreReadOnlyWhenAccepted) {
    expect_scan(scan("-7", 1), kScanNumber, -7, 2);
    expect_scan(scan("+7", 1), kScanNumber, 7, 2);
    expect_scan(scan("- 7", 1), kScanNumber, -7, 3);
    expect_scan(scan("  -  12x", 1), kScanNumber, -12, 7);
    // Not accepted: the scan stops in front of the sign.
    expect_scan(scan("-7", 0), kScanSignOnly, 0, 0);
    expect_scan(scan("  +7", 0), kScanSignOnly, 0, 2);
}

TEST(Zatoi, ASignWithoutDigitsIsReportedAsSuch) {
    expect_scan(scan("+-7", 1), kScanSignOnly, 0, 1);
    expect_scan(scan("-", 1), kScanSignOnly, 0, 1);
    expect_scan(scan("- x", 1), kScanSignOnly, 0, 2);
}

TEST(Zatoi, ASignAfterTheDigitsEndsTheNumber) {
    expect_scan(scan("5-3", 1), kScanNumber, 5, 1);
    expect_scan(scan("5 3", 1), kScanNumber, 5, 1);
}

TEST(Zatoi, TextWithoutANumberGivesCodeOneAndZero) {
    expect_scan(scan("", 1), kScanNothing, 0, 0);
    expect_scan(scan("   ", 1), kScanNothing, 0, 3);
    expect_scan(scan("x1", 1), kScanNothing, 0, 0);
}

TEST(Zatoi, MagnitudesUpToTheLargestPositiveValueAreRead) {
    expect_scan(scan("2147483647", 0), kScanNumber, 2147483647, 10);
    expect_scan(scan("-2147483647", 1), kScanNumber, -2147483647, 11);
    expect_scan(scan("214748364", 0), kScanNumber, 214748364, 9);
}

TEST(Zatoi, OverflowConsumesTheRestOfTheDigitsAndGivesZero) {
    expect_scan(scan("2147483648", 0), kScanOverflow, 0, 10);
    expect_scan(scan("-2147483648", 1), kScanOverflow, 0, 11);
    expect_scan(scan("99999999999999999999x5", 0), kScanOverflow, 0, 20);
    expect_scan(scan("21474836470", 0), kScanOverflow, 0, 11);
}

TEST(Zatoi, TheLengthBoundsTheScan) {
    expect_scan(scan("12345", 0, 3), kScanNumber, 123, 3);
    expect_scan(scan("12345", 0, 0), kScanNothing, 0, 0);
    // Counted text: a NUL is just a character that is not a digit.
    const char with_nul[] = {'1', '2', '\0', '3'};
    Scan s{};
    s.code = zatoi(with_nul, 4, 0, &s.stop, &s.value);
    expect_scan(s, kScanNumber, 12, 2);
}

TEST(Zatoi, ANegativeLengthMeasuresTheText) {
    const char text[] = "  -815 and more";
    Scan s{};
    s.code = zatoi(text, -1, 1, &s.stop, &s.value);
    expect_scan(s, kScanNumber, -815, 6);
    // The measured length ends at the NUL, not at the buffer's end.
    const char cut[] = "77\0" "88";
    s.code = zatoi(cut, -1, 0, &s.stop, &s.value);
    expect_scan(s, kScanNumber, 77, 2);
}

TEST(Zatoi, OutPlacesMayBeAbsent) {
    EXPECT_EQ(zatoi("12", 2, 0, nullptr, nullptr), kScanNumber);
    int32_t value = -1;
    EXPECT_EQ(zatoi(nullptr, 5, 0, nullptr, &value), kScanNothing);
    EXPECT_EQ(value, 0);
}

}  // namespace
