// Base64 encoder and decoder: exact output, line breaks, capacity limits checked to the byte,
// the decoder's skipping and padding rules, and round trips of random data.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "module/client/ldb64.h"

namespace {

constexpr char kGuard = '#';

struct Encoded {
    int32_t result;
    int32_t length;       // as stored, -7 when nothing was stored
    std::string written;  // everything up to the last byte changed in the destination
    bool within_capacity; // no byte past the capacity was changed
};

Encoded encode(const std::string &bytes, int32_t capacity, bool line_breaks) {
    std::vector<char> out(static_cast<size_t>(capacity) + 16, kGuard);
    Encoded e{};
    e.length = -7;
    e.result = encode_base64(bytes.data(), static_cast<int32_t>(bytes.size()), out.data(), capacity, &e.length,
                             line_breaks ? 1 : 0);
    size_t last = out.size();
    while (last > 0 && out[last - 1] == kGuard) {
        --last;
    }
    e.written.assign(out.data(), last);
    e.within_capacity = last <= static_cast<size_t>(capacity);
    return e;
}

// Characters the encoder needs, and the capacity it requires, for `n` bytes.
int32_t characters_for(size_t n) { return static_cast<int32_t>(4 * ((n + 2) / 3)); }
int32_t capacity_for(size_t n, bool line_breaks) {
    const int32_t chars = characters_for(n);
    return line_breaks ? chars + chars / 76 + 2 : chars;
}

struct Decoded {
    int32_t result;
    int32_t length;
    std::string bytes;    // the `length` bytes stored
    bool rest_untouched;  // nothing written after them
};

Decoded decode(const std::string &text, int32_t capacity = -1) {
    if (capacity < 0) {
        capacity = static_cast<int32_t>(text.size() / 4 * 3 + 4);
    }
    std::vector<char> out(static_cast<size_t>(capacity) + 16, kGuard);
    Decoded d{};
    d.length = -7;
    d.result = decode_base64(text.data(), static_cast<int32_t>(text.size()), out.data(), capacity, &d.length);
    const size_t stored = d.length > 0 ? static_cast<size_t>(d.length) : 0;
    d.bytes.assign(out.data(), stored);
    d.rest_untouched = std::all_of(out.begin() + static_cast<std::ptrdiff_t>(stored), out.end(),
                                   [](char c) { return c == kGuard; });
    return d;
}

std::string random_bytes(std::mt19937 &rng, size_t n) {
    std::string s(n, '\0');
    for (auto &c : s) {
        c = static_cast<char>(rng());
    }
    return s;
}

TEST(Base64Tables, IndexIsTheInverseOfTheAlphabet) {
    EXPECT_STREQ(base64tab, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    int in_alphabet = 0;
    for (int c = 0; c < 256; ++c) {
        if (base64idx[c] != 0xFF) {
            ++in_alphabet;
            ASSERT_LT(base64idx[c], 64);
            EXPECT_EQ(base64tab[base64idx[c]], static_cast<char>(c));
        }
    }
    EXPECT_EQ(in_alphabet, 64);
    EXPECT_EQ(base64idx[static_cast<uint8_t>('=')], 0xFF);
    EXPECT_EQ(base64idx[0], 0xFF);
}

// RFC 4648, section 10.
const std::pair<std::string, std::string> kVectors[] = {
    {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

TEST(EncodeBase64, StandardTestVectors) {
    for (const auto &[bytes, text] : kVectors) {
        const Encoded e = encode(bytes, characters_for(bytes.size()), false);
        EXPECT_EQ(e.result, 0) << bytes;
        EXPECT_EQ(e.length, static_cast<int32_t>(text.size())) << bytes;
        EXPECT_EQ(e.written, text) << "no NUL without line breaks";
    }
}

TEST(EncodeBase64, EveryCharacterOfTheAlphabetIsReachable) {
    EXPECT_EQ(encode(std::string("\xfb\xff\xbf", 3), 4, false).written, "+/+/");
    EXPECT_EQ(encode(std::string("\x00\x00\x00", 3), 4, false).written, "AAAA");
    EXPECT_EQ(encode(std::string("\xff\xff", 2), 4, false).written, "//8=");
    EXPECT_EQ(encode(std::string("\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97"
                                 "\x61\x96\x9b\x71\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf"
                                 "\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e\xbb\xf3\xdf\xbf", 48),
                     64, false)
                  .written,
              base64tab);
}

TEST(EncodeBase64, LineBrokenFormOfZeroAndOneByte) {
    Encoded e = encode("", 2, true);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.length, 1);
    EXPECT_EQ(e.written, std::string("\n\0", 2));

    e = encode("f", capacity_for(1, true), true);
    EXPECT_EQ(e.length, 5);
    EXPECT_EQ(e.written, std::string("Zg==\n\0", 6));
}

// `n` random bytes (from a generator seeded with `n`) encoded both ways: plainly into exactly the
// characters needed, and with line breaks into exactly the capacity required.
struct BothForms {
    Encoded plain;
    Encoded broken;
};

BothForms encode_both_ways(size_t n) {
    std::mt19937 rng(static_cast<std::mt19937::result_type>(n));
    const std::string bytes = random_bytes(rng, n);
    return {encode(bytes, characters_for(n), false), encode(bytes, capacity_for(n, true), true)};
}

TEST(EncodeBase64, FiftySevenBytesEndWithTwoLineFeeds) {
    EXPECT_EQ(capacity_for(57, true), 79);
    const auto [plain, e] = encode_both_ways(57);
    ASSERT_EQ(plain.result, 0);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.length, 78);
    EXPECT_EQ(e.written, plain.written + "\n\n" + std::string(1, '\0'));
    EXPECT_TRUE(e.within_capacity);
}

TEST(EncodeBase64, FiftyEightBytesStartASecondLine) {
    const auto [plain, e] = encode_both_ways(58);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.length, 82);
    EXPECT_EQ(e.written, plain.written.substr(0, 76) + "\n" + plain.written.substr(76) + "\n" + std::string(1, '\0'));
}

TEST(EncodeBase64, SixHundredBytesAreTenFullLinesAndAShortOne) {
    const auto [plain, e] = encode_both_ways(600);
    ASSERT_EQ(e.result, 0);
    EXPECT_EQ(e.length, 811);
    std::string expected;
    for (size_t at = 0; at < plain.written.size(); at += 76) {
        expected += plain.written.substr(at, 76) + "\n";
    }
    EXPECT_EQ(e.written, expected + std::string(1, '\0'));
}

// For every length up to a few lines, the required capacity is enough and one byte less is
// refused without a byte written.
TEST(EncodeBase64, CapacityIsCheckedAtItsExactBoundary) {
    std::mt19937 rng(7);
    for (size_t n = 0; n <= 240; ++n) {
        const std::string bytes = random_bytes(rng, n);
        for (bool line_breaks : {false, true}) {
            const int32_t required = capacity_for(n, line_breaks);
            const Encoded fits = encode(bytes, required, line_breaks);
            ASSERT_EQ(fits.result, 0) << n << " bytes, line breaks " << line_breaks;
            ASSERT_TRUE(fits.within_capacity) << n;
            ASSERT_EQ(fits.written.size(), static_cast<size_t>(fits.length) + (line_breaks ? 1 : 0)) << n;
            if (required > 0) {
                const Encoded short_by_one = encode(bytes, required - 1, line_breaks);
                ASSERT_EQ(short_by_one.result, -1) << n;
                ASSERT_EQ(short_by_one.length, -7) << "nothing stored";
                ASSERT_TRUE(short_by_one.written.empty()) << "nothing written";
            }
        }
    }
}

TEST(EncodeBase64, BadArgumentsAreRefused) {
    char out[16];
    int32_t length = -7;
    EXPECT_EQ(encode_base64(nullptr, 3, out, 16, &length, 0), -1);
    EXPECT_EQ(encode_base64("abc", 3, nullptr, 16, &length, 0), -1);
    EXPECT_EQ(encode_base64("abc", 3, out, 16, nullptr, 0), -1);
    EXPECT_EQ(encode_base64("abc", -1, out, 16, &length, 0), -1);
    EXPECT_EQ(encode_base64("abc", 3, out, -4, &length, 0), -1);
    EXPECT_EQ(length, -7);
    // A length whose encoding has no 32-bit size is refused by the capacity check, not wrapped.
    EXPECT_EQ(encode_base64("abc", INT32_MAX, out, 16, &length, 1), -1);
}

TEST(DecodeBase64, StandardTestVectors) {
    for (const auto &[bytes, text] : kVectors) {
        const Decoded d = decode(text);
        EXPECT_EQ(d.result, 0) << text;
        EXPECT_EQ(d.bytes, bytes) << text;
        EXPECT_TRUE(d.rest_untouched) << text;
    }
}

TEST(DecodeBase64, CapacityIsCheckedBeforeAnythingIsWritten) {
    Decoded d = decode("Zm9vYmFy", 10);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, "foobar");
    d = decode("Zm9vYmFy", 9);
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.length, -7);
    EXPECT_TRUE(d.rest_untouched);
    EXPECT_EQ(decode("", 4).result, 0);
    EXPECT_EQ(decode("", 3).result, -1);
}

TEST(DecodeBase64, BadArgumentsAreRefused) {
    char out[16];
    int32_t length = -7;
    EXPECT_EQ(decode_base64(nullptr, 4, out, 16, &length), -1);
    EXPECT_EQ(decode_base64("Zm9v", 4, nullptr, 16, &length), -1);
    EXPECT_EQ(decode_base64("Zm9v", 4, out, 16, nullptr), -1);
    EXPECT_EQ(decode_base64("Zm9v", -4, out, 16, &length), -1);
    EXPECT_EQ(length, -7);
}

TEST(DecodeBase64, WhiteSpaceIsSkippedSilently) {
    const Decoded d = decode(" Zm\r\n9v\tY mFy\n");
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, "foobar");
    EXPECT_EQ(decode("Zm9v\n\n\n").result, 0);
}

TEST(DecodeBase64, ForeignBytesAreSkippedButReported) {
    Decoded d = decode("Zm9v!YmFy");
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.bytes, "foobar");
    d = decode("Z\x80m9\xffvYm-F_y");
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.bytes, "foobar");
    d = decode(std::string("Zm\0" "9v", 5));
    EXPECT_EQ(d.result, -1) << "a NUL inside the counted text is foreign";
    EXPECT_EQ(d.bytes, "foo");
    d = decode("Zg=!=");
    EXPECT_EQ(d.result, -1) << "the padded group's own symbols are read past foreign bytes";
    EXPECT_EQ(d.bytes, "f");
}

TEST(DecodeBase64, PaddingInEachPlace) {
    struct Case {
        const char *text;
        std::string bytes;
    };
    const Case cases[] = {
        {"=AAA", ""}, {"A=AA", ""}, {"AA=A", ""}, {"A===", ""}, {"====", ""},
        {"AAA=", std::string(2, '\0')}, {"AA==", std::string(1, '\0')}, {"AAAA", std::string(3, '\0')},
        {"Zm9v=Zg=", "foo"}, {"Zm9vZ===", "foo"}, {"Zm9vZm=v", "foo"},
    };
    for (const Case &c : cases) {
        const Decoded d = decode(c.text);
        EXPECT_EQ(d.result, 0) << c.text;
        EXPECT_EQ(d.bytes, c.bytes) << c.text;
        EXPECT_TRUE(d.rest_untouched) << c.text;
    }
}

TEST(DecodeBase64, DecodingEndsAtThePaddedGroup) {
    Decoded d = decode("Zg==Zm9v");
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, "f");
    d = decode("Zm8=!!!");
    EXPECT_EQ(d.result, 0) << "nothing after the padded group is read";
    EXPECT_EQ(d.bytes, "fo");
}

TEST(DecodeBase64, AnUnpaddedShortGroupIsDropped) {
    Decoded d = decode("Zm9vYm");
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, "foo");
    d = decode("Zm9vY");
    EXPECT_EQ(d.bytes, "foo");
    d = decode("Zm9vYmF");
    EXPECT_EQ(d.bytes, "foo");
}

TEST(Base64RoundTrip, RandomDataInBothForms) {
    std::mt19937 rng(2024);
    for (size_t n = 0; n <= 700; n += (n < 130 ? 1 : 37)) {
        const std::string bytes = random_bytes(rng, n);
        for (bool line_breaks : {false, true}) {
            const Encoded e = encode(bytes, capacity_for(n, line_breaks), line_breaks);
            ASSERT_EQ(e.result, 0);
            const Decoded d = decode(e.written.substr(0, static_cast<size_t>(e.length)));
            ASSERT_EQ(d.result, 0) << n;
            ASSERT_EQ(d.bytes, bytes) << n << " bytes, line breaks " << line_breaks;
        }
    }
}

TEST(Base64RoundTrip, WhiteSpaceAnywhereChangesNothing) {
    std::mt19937 rng(99);
    const char blanks[] = {' ', '\t', '\r', '\n'};
    for (int round = 0; round < 200; ++round) {
        const std::string bytes = random_bytes(rng, rng() % 100);
        const std::string text = encode(bytes, capacity_for(bytes.size(), false), false).written;
        std::string spaced;
        for (char c : text) {
            while (rng() % 4 == 0) {
                spaced += blanks[rng() % 4];
            }
            spaced += c;
        }
        const Decoded d = decode(spaced);
        ASSERT_EQ(d.result, 0) << spaced;
        ASSERT_EQ(d.bytes, bytes) << spaced;
    }
}

TEST(Base64RoundTrip, OneMebibyte) {
    std::mt19937 rng(1);
    const std::string bytes = random_bytes(rng, 1 << 20);
    const Encoded e = encode(bytes, capacity_for(bytes.size(), true), true);
    ASSERT_EQ(e.result, 0);
    const Decoded d = decode(e.written.substr(0, static_cast<size_t>(e.length)));
    EXPECT_EQ(d.result, 0);
    EXPECT_TRUE(d.bytes == bytes);
}

}  // namespace
