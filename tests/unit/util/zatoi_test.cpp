// zatoi: scan codes, stop index and value for the texts its callers feed it (ports, numeric
// attribute values), including the overflow and sign rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

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

// One text scanned with its own length, and what zatoi must answer for it.
struct Expected {
    const char *text;
    int32_t accept_sign;
    int32_t code;
    int32_t value;
    int32_t stop;
};

// The texts that show one rule; the rule's name heads the names of their tests.
struct Rule {
    const char *name;
    std::vector<Expected> scans;
};

const Rule kRules[] = {
    {"ReadsDigitsAndStopsAtTheFirstOtherCharacter",
     {{" 42 ", 0, kScanNumber, 42, 3},
      {"389", 0, kScanNumber, 389, 3},
      {"0007x", 0, kScanNumber, 7, 4},
      {"12:34", 0, kScanNumber, 12, 2}}},
    {"OnlyTheBlankIsSkippedNotOtherWhiteSpace",
     {{"\t5", 0, kScanNothing, 0, 0},
      {"  \n5", 0, kScanNothing, 0, 2}}},
    {"SignsAreReadOnlyWhenAccepted",
     {{"-7", 1, kScanNumber, -7, 2},
      {"+7", 1, kScanNumber, 7, 2},
      {"- 7", 1, kScanNumber, -7, 3},
      {"  -  12x", 1, kScanNumber, -12, 7},
      // Not accepted: the scan stops in front of the sign.
      {"-7", 0, kScanSignOnly, 0, 0},
      {"  +7", 0, kScanSignOnly, 0, 2}}},
    {"ASignWithoutDigitsIsReportedAsSuch",
     {{"+-7", 1, kScanSignOnly, 0, 1},
      {"-", 1, kScanSignOnly, 0, 1},
      {"- x", 1, kScanSignOnly, 0, 2}}},
    {"ASignAfterTheDigitsEndsTheNumber",
     {{"5-3", 1, kScanNumber, 5, 1},
      {"5 3", 1, kScanNumber, 5, 1}}},
    {"TextWithoutANumberGivesCodeOneAndZero",
     {{"", 1, kScanNothing, 0, 0},
      {"   ", 1, kScanNothing, 0, 3},
      {"x1", 1, kScanNothing, 0, 0}}},
    {"EveryThirtyTwoBitNumberIsRead",
     {{"2147483647", 0, kScanNumber, 2147483647, 10},
      {"-2147483647", 1, kScanNumber, -2147483647, 11},
      {"-2147483648", 1, kScanNumber, INT32_MIN, 11},
      {"214748364", 0, kScanNumber, 214748364, 9}}},
    {"OverflowConsumesTheRestOfTheDigitsAndGivesZero",
     {{"2147483648", 0, kScanOverflow, 0, 10},
      {"-2147483649", 1, kScanOverflow, 0, 11},
      {"99999999999999999999x5", 0, kScanOverflow, 0, 20},
      {"21474836470", 0, kScanOverflow, 0, 11}}},
};

// One test per text: "<rule>_<n>", the nth text of the rule.
struct ScanCase {
    std::string name;
    Expected expected;
};

void PrintTo(const ScanCase &c, std::ostream *os) {
    *os << '"' << c.expected.text << "\" with accept_sign " << c.expected.accept_sign;
}

std::vector<ScanCase> scan_cases() {
    std::vector<ScanCase> cases;
    for (const Rule &rule : kRules) {
        for (std::size_t n = 0; n < rule.scans.size(); ++n) {
            cases.push_back({std::string(rule.name) + "_" + std::to_string(n), rule.scans[n]});
        }
    }
    return cases;
}

class ZatoiScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ZatoiScan, CodeValueAndStop) {
    const Expected &e = GetParam().expected;
    expect_scan(scan(e.text, e.accept_sign), e.code, e.value, e.stop);
}

INSTANTIATE_TEST_SUITE_P(Texts, ZatoiScan, ::testing::ValuesIn(scan_cases()),
                         [](const ::testing::TestParamInfo<ScanCase> &info) { return info.param.name; });

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
