// The test-side BER writer and reader, checked against bytes written out by hand.
#include "tests/support/ber_builder.h"

#include <gtest/gtest.h>

#include "tests/support/ber_reader.h"

namespace qortest {
namespace {

using namespace ber;

TEST(HexText, AcceptsSpacesNewlinesAndBothCases) {
    EXPECT_EQ(hex("30 0c\n\t02 01 FF ab"), (Bytes{0x30, 0x0c, 0x02, 0x01, 0xff, 0xab}));
    EXPECT_EQ(hex("300c"), (Bytes{0x30, 0x0c}));
    EXPECT_EQ(hex(""), Bytes{});
}

TEST(HexText, RejectsOddDigitsAndForeignCharacters) {
    EXPECT_THROW(hex("30 0"), std::invalid_argument);
    EXPECT_THROW(hex("3 00c"), std::invalid_argument);
    EXPECT_THROW(hex("30 0g"), std::invalid_argument);
    EXPECT_THROW(hex("0x30"), std::invalid_argument);
}

TEST(HexText, DumpsWithSingleSpaces) {
    EXPECT_EQ(to_hex(Bytes{0x00, 0x7f, 0xff}), "00 7f ff");
    EXPECT_EQ(to_hex(Bytes{}), "");
}

TEST(BerWriter, IntegersUseShortestTwosComplement) {
    EXPECT_EQ(integer(0), hex("02 01 00"));
    EXPECT_EQ(integer(127), hex("02 01 7f"));
    EXPECT_EQ(integer(128), hex("02 02 00 80"));
    EXPECT_EQ(integer(256), hex("02 02 01 00"));
    EXPECT_EQ(integer(-1), hex("02 01 ff"));
    EXPECT_EQ(integer(-128), hex("02 01 80"));
    EXPECT_EQ(integer(-129), hex("02 02 ff 7f"));
    EXPECT_EQ(integer(2147483647), hex("02 04 7f ff ff ff"));
    EXPECT_EQ(integer(-2147483648LL), hex("02 04 80 00 00 00"));
    EXPECT_EQ(enumerated(10), hex("0a 01 0a"));
    EXPECT_EQ(integer(5, 0x50), hex("50 01 05"));
}

TEST(BerWriter, LengthsShortLongAndForcedLong) {
    EXPECT_EQ(length(0), hex("00"));
    EXPECT_EQ(length(127), hex("7f"));
    EXPECT_EQ(length(128), hex("81 80"));
    EXPECT_EQ(length(256), hex("82 01 00"));
    EXPECT_EQ(length(70000), hex("83 01 11 70"));
    EXPECT_EQ(length(5, 1), hex("81 05"));
    EXPECT_EQ(length(5, 4), hex("84 00 00 00 05"));
    EXPECT_EQ(length(0, 2), hex("82 00 00"));
    EXPECT_THROW(length(5, 5), std::invalid_argument);
}

TEST(BerWriter, PrimitivesAndConstructed) {
    EXPECT_EQ(octets("ab"), hex("04 02 61 62"));
    EXPECT_EQ(octets("", 0x80), hex("80 00"));
    EXPECT_EQ(boolean(true), hex("01 01 ff"));
    EXPECT_EQ(boolean(false), hex("01 01 00"));
    EXPECT_EQ(null(), hex("05 00"));
    EXPECT_EQ(sequence({integer(1), octets("x")}), hex("30 06 02 01 01 04 01 78"));
    EXPECT_EQ(set({}), hex("31 00"));
    EXPECT_EQ(indefinite(0x30, integer(1)), hex("30 80 02 01 01 00 00"));
    EXPECT_EQ(tlv(0x04, bytes_of("ab"), 2), hex("04 82 00 02 61 62"));

    Bytes long_text(200, 'z');
    Bytes element = octets(std::string(200, 'z'));
    ASSERT_EQ(element.size(), 203u);
    EXPECT_EQ(Bytes(element.begin(), element.begin() + 3), hex("04 81 c8"));
    EXPECT_EQ(Bytes(element.begin() + 3, element.end()), long_text);
}

TEST(BerReader, FramesCompleteIncompleteAndInvalidElements) {
    Bytes two = concat({hex("30 03 02 01 05"), hex("04 00")});
    Framing f = frame_element(two);
    EXPECT_EQ(f.state, Framing::State::complete);
    EXPECT_EQ(f.size, 5u);

    EXPECT_EQ(frame_element(hex("30")).state, Framing::State::need_more);
    EXPECT_EQ(frame_element(hex("30 05 02 01")).state, Framing::State::need_more);
    EXPECT_EQ(frame_element(hex("04 82 01")).state, Framing::State::need_more);
    EXPECT_EQ(frame_element(hex("04 82 00 02 61 62")).size, 6u);

    EXPECT_EQ(frame_element(hex("30 80 00 00")).state, Framing::State::invalid);
    EXPECT_EQ(frame_element(hex("04 85 00 00 00 00 01 00")).state, Framing::State::invalid);
    EXPECT_EQ(frame_element(hex("1f 01 00")).state, Framing::State::invalid);
    Framing huge = frame_element(hex("04 84 7f ff ff ff"));
    EXPECT_EQ(huge.state, Framing::State::invalid);
    EXPECT_NE(huge.reason.find("bytes"), std::string::npos);
}

TEST(BerReader, ParsesTreesAndReportsOffsets) {
    BerNode n = parse_element(hex("30 0b 02 01 ff 61 06 0a 01 00 04 01 41"));
    EXPECT_EQ(n.tag, 0x30);
    ASSERT_EQ(n.children.size(), 2u);
    EXPECT_EQ(n.at(0).integer(), -1);
    EXPECT_EQ(n.at(1).tag, 0x61);
    EXPECT_EQ(n.at(1).at(0).integer(), 0);
    EXPECT_EQ(n.at(1).at(1).text(), "A");
    EXPECT_THROW(n.at(2), std::out_of_range);

    try {
        parse_element(hex("30 04 02 05 01 01"));
        FAIL() << "a child longer than its parent must not parse";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("offset 2"), std::string::npos) << e.what();
    }
    EXPECT_THROW(parse_element(hex("05 00 00")), std::runtime_error);  // trailing byte
    EXPECT_THROW(parse_element(hex("02 00")).integer(), std::runtime_error);
}

TEST(BerReader, ViewsLdapMessages) {
    auto v = view_message(hex("30 05 02 01 03 42 00"));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->id, 3);
    EXPECT_EQ(v->op, 0x42);
    EXPECT_FALSE(view_message(hex("31 05 02 01 03 42 00")));
    EXPECT_FALSE(view_message(hex("30 03 02 01 03")));
    EXPECT_FALSE(view_message(hex("30 05 04 01 03 42 00")));
    EXPECT_FALSE(view_message(hex("ff ff")));
}

}  // namespace
}  // namespace qortest
