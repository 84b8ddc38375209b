// berscan: every reading item, the bounds every read is checked against, the read state that
// persists across calls and copies, and all-or-nothing failure.
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "codec_fixture.h"

namespace codectest {
namespace {

using qortest::concat;
using qortest::hex;

class ReadFormat : public CodecTest {
protected:
    // Reads the element of `bytes` with `format`, whose one "i" item lands in `value` (12345
    // when nothing is stored). Answers berscan's tag.
    int32_t scan_integer(const char *bytes, const char *format, int32_t &value) {
        BerElement *ber = reader(hex(bytes));
        value = 12345;
        const int32_t tag = berscan(ber, format, &value);
        berfree(ber, 1);
        return tag;
    }
};

// Scans `format`, whose one "s" item reads into a buffer of 100 bytes: the text read, nothing
// when the scan fails.
std::optional<std::string> scan_text(BerElement *ber, const char *format) {
    char text[100];
    int32_t length = sizeof text;
    if (berscan(ber, format, text, &length) == -1) return std::nullopt;
    return std::string(text);
}

// A search entry: DN "o=x", attributes cn: {a, b} and mail: {m}, sn: {} .
const char kEntry[] =
    "64 2c 04 03 6f 3d 78 30 25"
    " 30 0d 04 02 63 6e 31 07 04 01 61 04 02 62 62"
    " 30 0c 04 04 6d 61 69 6c 31 04 04 02 6d 6d"
    " 30 06 04 02 73 6e 31 00";

TEST_F(ReadFormat, EveryWritingFormatReadsBack) {
    BerElement *ber = writer();
    const char *texts[] = {"one", "two", nullptr};
    char raw[] = {'\0', 'z'};
    berval value{2, raw};
    berval *values[] = {&value, nullptr};
    ASSERT_EQ(berprnt(ber, "{iebsn[v]{V}t{i}}", -70000, 3, 1, "text", texts, values, 0xa0, INT32_MIN), 0);
    berrest(ber, 1);

    int32_t integer = 0, enumerated = 0, boolean = 0, inner = 0;
    char *text = nullptr;
    char **strings = nullptr;
    berval **bervals = nullptr;
    EXPECT_EQ(berscan(ber, "{ieban[v]{V}{i}}", &integer, &enumerated, &boolean, &text, &strings, &bervals, &inner), 2);
    EXPECT_EQ(integer, -70000);
    EXPECT_EQ(enumerated, 3);
    EXPECT_EQ(boolean, 1);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "text");
    ASSERT_NE(strings, nullptr);
    EXPECT_STREQ(strings[0], "one");
    EXPECT_STREQ(strings[1], "two");
    EXPECT_EQ(strings[2], nullptr);
    ASSERT_NE(bervals, nullptr);
    ASSERT_NE(bervals[0], nullptr);
    EXPECT_EQ(bervals[0]->bv_len, 2);
    EXPECT_EQ(std::memcmp(bervals[0]->bv_val, raw, 2), 0);
    EXPECT_EQ(bervals[1], nullptr);
    EXPECT_EQ(inner, INT32_MIN);
    EXPECT_EQ(ber->be_pos, ber->be_end);

    release(text);
    release_texts(strings);
    release_values(bervals);
    berfree(ber, 1);
}

TEST_F(ReadFormat, IntegersOfAnyPrimitiveTagUpToFourOctets) {
    struct Case {
        const char *bytes;
        int32_t value;
        int32_t tag;
    };
    for (const Case &c : {Case{"02 01 00", 0, 2}, Case{"02 01 ff", -1, 2}, Case{"02 02 00 80", 128, 2},
                          Case{"02 02 ff 7f", -129, 2}, Case{"02 04 80 00 00 00", INT32_MIN, 2},
                          Case{"02 04 00 00 00 01", 1, 2}, Case{"0a 01 05", 5, 10}, Case{"80 01 07", 7, 0x80},
                          Case{"9f 22 01 09", 9, 0x9f22}}) {
        int32_t value;
        EXPECT_EQ(scan_integer(c.bytes, "i", value), c.tag) << c.bytes;
        EXPECT_EQ(value, c.value) << c.bytes;
    }
    for (const char *bad : {"02 00", "02 05 00 ff ff ff ff", "22 03 02 01 01", "02 02 01"}) {
        int32_t value;
        EXPECT_EQ(scan_integer(bad, "i", value), -1) << bad;
        EXPECT_EQ(value, 12345) << bad;
    }
}

TEST_F(ReadFormat, BooleansAndNulls) {
    BerElement *ber = reader(hex("01 01 00 01 01 01 01 01 ff 05 00"));
    int32_t a = 9, b = 9, c = 9;
    EXPECT_EQ(berscan(ber, "bbbn", &a, &b, &c), 5);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(c, 1);
    berfree(ber, 1);
    ber = reader(hex("01 02 00 00 05 01 00"));
    EXPECT_EQ(berscan(ber, "b", &a), -1);
    EXPECT_EQ(berscan(ber, "x n"), -1);   // a blank is no item
    EXPECT_EQ(berscan(ber, "xn"), -1);    // NULL with contents
    berfree(ber, 1);
}

TEST_F(ReadFormat, StringIntoTheCallersBufferMustFitWithItsNul) {
    BerElement *ber = reader(hex("04 03 61 62 63"));
    char buffer[8];
    std::memset(buffer, 'z', sizeof buffer);
    int32_t length = 3;
    EXPECT_EQ(berscan(ber, "s", buffer, &length), -1);
    EXPECT_EQ(length, 3);
    length = 0;
    EXPECT_EQ(berscan(ber, "s", buffer, &length), -1);
    length = 4;
    EXPECT_EQ(berscan(ber, "s", buffer, &length), 4);
    EXPECT_EQ(length, 3);
    EXPECT_STREQ(buffer, "abc");
    berfree(ber, 1);

    ber = reader(hex("04 00"));
    length = 1;
    EXPECT_EQ(berscan(ber, "s", buffer, &length), 4);
    EXPECT_EQ(length, 0);
    EXPECT_STREQ(buffer, "");
    berfree(ber, 1);
}

TEST_F(ReadFormat, SkipTakesWholeElementsOfAnyKind) {
    BerElement *ber = reader(hex("30 06 02 01 01 04 01 61 63 00 02 01 07"));
    int32_t value = 0;
    EXPECT_EQ(berscan(ber, "xxi", &value), 2);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(berscan(ber, "x"), -1);   // nothing left
    berfree(ber, 1);
}

TEST_F(ReadFormat, LeavingSkipsWhatWasNotRead) {
    BerElement *ber = reader(hex("65 0f 0a 01 0a 04 00 04 00 a3 06 04 04 6c 64 61 70 02 01 09"));
    int32_t code = 0, after = 0;
    char *matched = nullptr;
    char *text = nullptr;
    EXPECT_EQ(berscan(ber, "{iaa}", &code, &matched, &text), 4);
    EXPECT_EQ(code, 10);
    EXPECT_STREQ(matched, "");
    EXPECT_STREQ(text, "");
    EXPECT_EQ(berscan(ber, "i", &after), 2);
    EXPECT_EQ(after, 9);
    release(matched);
    release(text);
    berfree(ber, 1);
}

TEST_F(ReadFormat, EmptyArrays) {
    BerElement *ber = reader(hex("31 00 31 00"));
    char **strings = nullptr;
    berval **values = nullptr;
    EXPECT_EQ(berscan(ber, "[v][V]", &strings, &values), 0x31);
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(strings[0], nullptr);
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(values[0], nullptr);
    release_texts(strings);
    release_values(values);
    berfree(ber, 1);
}

TEST_F(ReadFormat, MalformedInputIsRefused) {
    struct Case {
        const char *format;
        const char *bytes;
        const char *fault;
    };
    for (const Case &c : {
             Case{"{i}", "30 05 02 01 01", "truncated contents"},
             Case{"{i}", "30", "truncated header"},
             Case{"i", "02 84 00 00", "truncated length octets"},
             Case{"x", "04 05 61 62", "length beyond the input"},
             Case{"x", "04 84 ff ff ff ff 61", "length far beyond the input"},
             Case{"x", "04 85 00 00 00 00 01 61", "five length octets"},
             Case{"{i}", "30 80 02 01 01 00 00", "indefinite length"},
             Case{"x", "1f 81 82 83 84 01 00", "tag of five octets"},
             Case{"{i}", "04 03 02 01 01", "entering a primitive element"},
             Case{"i", "30 03 02 01 01", "an integer that is constructed"},
             Case{"a", "24 03 04 01 61", "a constructed string"},
             Case{"{ii}", "30 03 02 01 01 02 01 02", "reading past the entered element"},
             Case{"{i}}", "30 03 02 01 01", "leaving more than was entered"},
             Case{"{{{{{", "30 08 30 06 30 04 30 02 30 00", "entering five deep"},
             Case{"?", "05 00", "unknown item"},
             Case{"n", "", "empty input"},
         }) {
        BerElement *ber = reader(hex(c.bytes));
        int32_t a = 0, b = 0;
        char *text = nullptr;
        int32_t result = c.format[0] == 'a' ? berscan(ber, c.format, &text) : berscan(ber, c.format, &a, &b);
        EXPECT_EQ(result, -1) << c.fault;
        EXPECT_EQ(text, nullptr) << c.fault;
        EXPECT_EQ(ber->be_pos, ber->be_start) << c.fault << ": the position moved";
        berfree(ber, 1);
    }
}

TEST_F(ReadFormat, FourLevelsDeepAndLongFormLengthsRead) {
    int32_t value;
    EXPECT_EQ(scan_integer("30 0b 30 09 30 07 30 05 02 82 00 01 07", "{{{{i}}}}", value), 2);
    EXPECT_EQ(value, 7);
}

TEST_F(ReadFormat, AFailedScanLeavesNothingBehind) {
    // The third item fails after two texts and an array were allocated.
    BerElement *ber = reader(hex("30 15 04 01 61 04 01 62 31 06 04 01 63 04 01 64 02 05 00 00 00 00 01"));
    char *first = nullptr;
    char *second = nullptr;
    char **array = nullptr;
    int32_t number = 0;
    long before = live_blocks();
    EXPECT_EQ(berscan(ber, "{aa[v]i}", &first, &second, &array, &number), -1);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(live_blocks(), before);
    // The read state is back where the scan started.
    EXPECT_EQ(berscan(ber, "{x", &number), 4);
    berfree(ber, 1);
}

TEST_F(ReadFormat, EveryAllocationFailureIsClean) {
    const Bytes bytes = hex(kEntry);
    for (long nth = 1;; ++nth) {
        BerElement *ber = reader(bytes);
        long before = live_blocks();
        char *dn = nullptr;
        char *type = nullptr;
        char **values = nullptr;
        berval **bervals = nullptr;
        int32_t result;
        bool injected;
        {
            qortest::FailAllocations fail(nth);
            result = berscan(ber, "{a{{a[v]}{x[V]}", &dn, &type, &values, &bervals);
            injected = fail.injected() != 0;
        }
        if (!injected) {
            ASSERT_EQ(result, 4);
            EXPECT_STREQ(dn, "o=x");
            EXPECT_STREQ(values[1], "bb");
            EXPECT_EQ(bervals[0]->bv_len, 2);
            EXPECT_EQ(live_blocks() - before, 8);
            release(dn);
            release(type);
            release_texts(values);
            release_values(bervals);
            berfree(ber, 1);
            EXPECT_GT(nth, 8);
            break;
        }
        EXPECT_EQ(result, -1) << "allocation " << nth;
        EXPECT_EQ(dn, nullptr) << "allocation " << nth;
        EXPECT_EQ(type, nullptr) << "allocation " << nth;
        EXPECT_EQ(values, nullptr) << "allocation " << nth;
        EXPECT_EQ(bervals, nullptr) << "allocation " << nth;
        EXPECT_EQ(live_blocks(), before) << "allocation " << nth;
        EXPECT_EQ(ber->be_pos, ber->be_start) << "allocation " << nth;
        berfree(ber, 1);
    }
}

TEST_F(ReadFormat, AttributeWalkAcrossCalls) {
    BerElement *entry = reader(hex(kEntry));
    BerElement walk = *entry;
    std::optional<std::string> name = scan_text(&walk, "{x{{sx}");
    ASSERT_NE(name, std::nullopt);
    std::vector<std::string> names;
    for (; name; name = scan_text(&walk, "{sx}")) names.push_back(*name);
    EXPECT_EQ(names, (std::vector<std::string>{"cn", "mail", "sn"}));
    // The walk read a copy: the entry itself has not moved.
    EXPECT_EQ(entry->be_pos, entry->be_start);
    berfree(entry, 1);
}

TEST_F(ReadFormat, ValueLookupPattern) {
    BerElement *entry = reader(hex(kEntry));
    BerElement copy = *entry;
    ASSERT_EQ(scan_text(&copy, "{x{{s"), "cn");
    ASSERT_EQ(scan_text(&copy, "x}{s"), "mail");
    char **values = nullptr;
    ASSERT_EQ(berscan(&copy, "[v]", &values), 4);
    ASSERT_NE(values, nullptr);
    EXPECT_STREQ(values[0], "mm");
    EXPECT_EQ(values[1], nullptr);
    release_texts(values);
    EXPECT_EQ(scan_text(&copy, "x}{s"), std::nullopt);   // the values are read: nothing to skip
    ASSERT_EQ(scan_text(&copy, "}{s"), "sn");
    EXPECT_EQ(scan_text(&copy, "x}{s"), std::nullopt);   // no attribute after the last
    berfree(entry, 1);
}

TEST_F(ReadFormat, CopiesReadIndependently) {
    BerElement *ber = reader(hex("30 06 02 01 01 02 01 02"));
    int32_t a = 0, b = 0;
    ASSERT_EQ(berscan(ber, "{i", &a), 2);
    BerElement copy = *ber;
    BerElement *dup = berdup(ber);
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(berscan(&copy, "i}", &b), 2);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(berscan(&copy, "i", &b), -1);   // the copy left the sequence
    b = 0;
    EXPECT_EQ(berscan(dup, "i}", &b), 2);     // the duplicate is still inside it
    EXPECT_EQ(b, 2);
    b = 0;
    EXPECT_EQ(berscan(ber, "i}", &b), 2);     // and so is the original
    EXPECT_EQ(b, 2);
    EXPECT_EQ(dup->be_start, ber->be_start);  // sharing the buffer
    berfree(dup, 0);
    berfree(ber, 1);
}

}  // namespace
}  // namespace codectest
