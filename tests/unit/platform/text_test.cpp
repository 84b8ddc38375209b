// Number reading, case folding and comparison, transcoding, formatting and logging.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/platform/service.h"

namespace {

struct NumberResult {
    int32_t status;
    double value;
};

NumberResult read_number(const std::string &text) {
    double value = 12345.0;
    HostNumberRequest request{24, 0, text.data(), static_cast<int32_t>(text.size()), &value};
    return {svc::wzifmn()(&request), value};
}

TEST(Numbers, ReadsTheLongestDecimalPrefix) {
    qorhost_start();
    const struct {
        const char *text;
        double value;
    } cases[] = {
        {"42", 42.0},        {"  -2.25", -2.25},   {"\t+7", 7.0},       {"3.", 3.0},
        {".5", 0.5},         {"1e3", 1000.0},      {"1E-2", 0.01},      {"2.5e+1x", 25.0},
        {"12abc", 12.0},     {"1e", 1.0},          {"1e+", 1.0},        {"5 6", 5.0},
        {"0.1", 0.1},        {"-0", -0.0},         {"1e-400", 0.0},
    };
    for (const auto &c : cases) {
        const NumberResult r = read_number(c.text);
        EXPECT_EQ(r.status, 0) << c.text;
        EXPECT_EQ(r.value, c.value) << c.text;
    }
}

TEST(Numbers, NothingToReadStoresZeroAndFails) {
    qorhost_start();
    for (const char *text : {"", "   ", "abc", "-", ".", "+.e5", "inf", "nan", "0x10"}) {
        const NumberResult r = read_number(text);
        if (std::string(text) == "0x10") {
            EXPECT_EQ(r.status, 0);   // "0" is a number; the rest is not read
            EXPECT_EQ(r.value, 0.0);
            continue;
        }
        EXPECT_NE(r.status, 0) << text;
        EXPECT_EQ(r.value, 0.0) << text;
    }
    const NumberResult huge = read_number("-1e400");
    EXPECT_NE(huge.status, 0);
    EXPECT_TRUE(std::isinf(huge.value) && huge.value < 0);
}

TEST(Numbers, IgnoreTheProcessLocale) {
    qorhost_start();
    const char *previous = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    const NumberResult r = read_number("1.5");
    EXPECT_EQ(r.value, 1.5);
    if (previous != nullptr) {
        std::setlocale(LC_NUMERIC, "C");
    }
}

TEST(Numbers, TheLengthBoundsTheText) {
    qorhost_start();
    const char text[] = "123456";
    double value = 0;
    HostNumberRequest request{24, 0, text, 3, &value};
    EXPECT_EQ(svc::wzifmn()(&request), 0);
    EXPECT_EQ(value, 123.0);
}

TEST(Folding, LowerCasesAsciiLettersOnly) {
    qorhost_start();
    char text[] = "Hello, WORLD! \xC3\x84xyZ";
    ASSERT_EQ(svc::wzstrlo()(text, 12), 0);
    EXPECT_STREQ(text, "hello, world! \xC3\x84xyZ");
    ASSERT_EQ(svc::wzstrlo()(text, static_cast<int32_t>(std::strlen(text))), 0);
    EXPECT_STREQ(text, "hello, world! \xC3\x84xyz");
}

TEST(Folding, ExtendedComparisonIgnoresCase) {
    qorhost_start();
    EXPECT_EQ(svc::wzsxeqn()("GroupOfNames", 12, "groupofnames", 12), 1);
    EXPECT_EQ(svc::wzsxeqn()("member", 6, "members", 7), 0);
    EXPECT_EQ(svc::wzsxeqn()("a[", 2, "A{", 2), 0) << "only letters fold";
    EXPECT_EQ(svc::wzsxeqn()("", 0, "", 0), 1);
}

// Transcodes with a destination of `capacity` bytes.
struct Converted {
    int32_t status;
    std::string text;
    int32_t needed;
};

Converted transcode(const std::string &source, int from, int to, int32_t capacity) {
    std::vector<uint8_t> out(static_cast<size_t>(capacity) + 1, 0xCC);
    int32_t length = capacity;
    int32_t needed = -1;
    const int32_t status = svc::wztxcod()(reinterpret_cast<const uint8_t *>(source.data()), static_cast<int32_t>(source.size()),
                                          from, out.data(), &length, to, &needed);
    EXPECT_EQ(out[capacity], 0xCC) << "wrote past the capacity";
    return {status, std::string(reinterpret_cast<char *>(out.data()), length >= 0 ? length : 0), needed};
}

const int kUtf8 = 20;

TEST(Transcoding, ConvertsBetweenUtf8AndLatin1) {
    qorhost_start();
    const int latin1 = qorhost_encoding_number("ISO-8859-1");
    const Converted to_latin1 = transcode("M\xC3\xBCller", kUtf8, latin1, 64);
    EXPECT_EQ(to_latin1.status, 0);
    EXPECT_EQ(to_latin1.text, "M\xFCller");
    const Converted back = transcode("M\xFCller", latin1, kUtf8, 64);
    EXPECT_EQ(back.status, 0);
    EXPECT_EQ(back.text, "M\xC3\xBCller");
}

TEST(Transcoding, TooSmallStoresTheExactSizeNeeded) {
    qorhost_start();
    const int latin1 = qorhost_encoding_number("ISO-8859-1");
    const std::string source = "\xE4\xF6\xFC\xDF-abc";   // 4 two-byte characters + 4 ASCII = 12 bytes
    Converted c = transcode(source, latin1, kUtf8, static_cast<int32_t>(source.size()));
    EXPECT_EQ(c.status, kTooSmall);
    EXPECT_EQ(c.needed, 12);
    c = transcode(source, latin1, kUtf8, 11);
    EXPECT_EQ(c.status, kTooSmall);
    EXPECT_EQ(c.needed, 12);
    c = transcode(source, latin1, kUtf8, 12);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.text, "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F-abc");
    // Far too small: the counting goes on well past the destination.
    const std::string long_source(5000, '\xE9');
    c = transcode(long_source, latin1, kUtf8, 3);
    EXPECT_EQ(c.status, kTooSmall);
    EXPECT_EQ(c.needed, 10000);
}

TEST(Transcoding, UnconvertibleTextIsReported) {
    qorhost_start();
    const int latin1 = qorhost_encoding_number("ISO-8859-1");
    const int ascii = qorhost_encoding_number("US-ASCII");
    EXPECT_EQ(transcode("price: 5\xE2\x82\xAC", kUtf8, latin1, 64).status, kNotConvertible) << "euro sign";
    EXPECT_EQ(transcode("caf\xC3\xA9", kUtf8, ascii, 64).status, kNotConvertible);
    EXPECT_EQ(transcode("bad \xC3 utf-8", kUtf8, latin1, 64).status, kNotConvertible) << "invalid input";
    EXPECT_EQ(transcode("cut \xC3", kUtf8, latin1, 64).status, kNotConvertible) << "truncated sequence";
    // Unconvertible beats too small: the caller must not retry with a bigger buffer forever.
    EXPECT_EQ(transcode("\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", kUtf8, latin1, 1).status, kNotConvertible);
    const int cp1252 = qorhost_encoding_number("WINDOWS-1252");
    EXPECT_EQ(transcode("5\xE2\x82\xAC", kUtf8, cp1252, 64).text, "5\x80");
    const int latin9 = qorhost_encoding_number("ISO-8859-15");
    EXPECT_EQ(transcode("5\xE2\x82\xAC", kUtf8, latin9, 64).text, "5\xA4");
}

TEST(Transcoding, SameEncodingIsAPlainCopy) {
    qorhost_start();
    const std::string bytes("not \xFF valid \x00 utf-8", 19);
    Converted c = transcode(bytes, kUtf8, kUtf8, 19);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.text, bytes);
    c = transcode(bytes, kUtf8, kUtf8, 18);
    EXPECT_EQ(c.status, kTooSmall);
    EXPECT_EQ(c.needed, 19);
    EXPECT_EQ(transcode("", kUtf8, kUtf8, 0).status, 0);
}

TEST(Transcoding, EbcdicRoundTrip) {
    qorhost_start();
    const int ebcdic = qorhost_encoding_number("IBM037");
    ASSERT_GT(ebcdic, 0);
    const Converted e = transcode("Hello 1", kUtf8, ebcdic, 16);
    ASSERT_EQ(e.status, 0);
    EXPECT_EQ(e.text, "\xC8\x85\x93\x93\x96\x40\xF1");
    EXPECT_EQ(transcode(e.text, ebcdic, kUtf8, 16).text, "Hello 1");
    EXPECT_GT(qorhost_encoding_number("IBM1047"), 0);
}

TEST(Transcoding, BadArgumentsAndUnknownEncodingsFail) {
    qorhost_start();
    uint8_t out[8];
    int32_t length = 8;
    EXPECT_NE(svc::wztxcod()(reinterpret_cast<const uint8_t *>("a"), 1, 20, out, &length, 999, nullptr), 0);
    EXPECT_NE(svc::wztxcod()(reinterpret_cast<const uint8_t *>("a"), -1, 20, out, &length, 1, nullptr), 0);
    EXPECT_NE(svc::wztxcod()(reinterpret_cast<const uint8_t *>("a"), 1, 20, out, nullptr, 1, nullptr), 0);
    EXPECT_EQ(qorhost_encoding_number("KLINGON"), -1);
}

TEST(Transcoding, ThreadsConvertIndependently) {
    qorhost_start();
    const int latin1 = qorhost_encoding_number("ISO-8859-1");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                uint8_t out[16];
                int32_t length = sizeof out;
                int32_t needed = 0;
                const int32_t s = svc::wztxcod()(reinterpret_cast<const uint8_t *>("\xC3\xA9t\xC3\xA9"), 5, 20, out,
                                                 &length, latin1, &needed);
                wrong += s != 0 || length != 3 || std::memcmp(out, "\xE9t\xE9", 3) != 0;
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Formatting, PercentNIsALineBreak) {
    qorhost_start();
    char buffer[64];
    const int32_t n = svc::xpsstr()(buffer, sizeof buffer, "a=%d%nb=%s%n", 5, "x");
    EXPECT_STREQ(buffer, "a=5\nb=x\n");
    EXPECT_EQ(n, 8);
    svc::xpsstr()(buffer, sizeof buffer, "%-16.16f", 2.5);
    EXPECT_STREQ(buffer, "2.5000000000000000");
    svc::xpsstr()(buffer, sizeof buffer, "100%% %5.2s|%-3c|%lu|%x", "abc", 'z', 42ul, 255u);
    EXPECT_STREQ(buffer, "100%    ab|z  |42|ff");
}

TEST(Formatting, AlwaysTerminatesWithinTheSize) {
    qorhost_start();
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(svc::xpsstr()(buffer, 5, "%s", "abcdefgh"), 4);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(buffer[5], '#');
    EXPECT_EQ(svc::xpsstr()(buffer, 1, "xyz"), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(svc::xpsstr()(buffer, 0, "xyz"), 0);
}

TEST(Formatting, HostileDirectivesAreNeutralised) {
    qorhost_start();
    char buffer[128];
    int target = 7;
    // A "%n" with modifiers would write through the argument; it must come out as text.
    svc::xpsstr()(buffer, sizeof buffer, "%d%hn|%ln|%s", 1, &target, &target, "tail");
    EXPECT_EQ(target, 7);
    EXPECT_STREQ(buffer, "1%hn|%ln|%s");
    svc::xpsstr()(buffer, sizeof buffer, "%1$s and %2$n", "x", &target);
    EXPECT_EQ(target, 7);
    EXPECT_STREQ(buffer, "%1$s and %2$n");
    svc::xpsstr()(buffer, sizeof buffer, "%s %y %s", "ok", "unread");
    EXPECT_STREQ(buffer, "ok %y %s");
    svc::xpsstr()(buffer, sizeof buffer, "%99999999d|", 1);
    EXPECT_STREQ(buffer, "%99999999d|");
    svc::xpsstr()(buffer, sizeof buffer, "100%");
    EXPECT_STREQ(buffer, "100%");
    svc::xpsstr()(buffer, sizeof buffer, "%Ld %ls", 1, L"w");
    EXPECT_STREQ(buffer, "%Ld %ls");
}

// Reads and empties a log file.
std::string log_contents(const std::string &path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(Logging, WritesToTheHostLogFile) {
    qorhost_start();
    char path[] = "/tmp/qorhost-log-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(qorhost_set_log(path), 0);
    EXPECT_EQ(svc::xpslog()("result %d: %s%n", 32, "No such object"), 0);
    EXPECT_EQ(svc::xprrlog()(0, static_cast<int32_t>(0x80002006u)), 0);
    std::string long_text(3000, 'y');
    svc::xpslog()("%s%n", long_text.c_str());
    qorhost_set_log(nullptr);
    const std::string text = log_contents(path);
    unlink(path);
    EXPECT_EQ(text.substr(0, 27), "result 32: No such object\nq");
    EXPECT_NE(text.find("0x80002006"), std::string::npos);
    EXPECT_NE(text.find(long_text + "\n"), std::string::npos) << "long lines are not cut";
}

}  // namespace
