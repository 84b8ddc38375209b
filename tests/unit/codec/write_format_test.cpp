// berprnt: the exact bytes of every writing format item, expected values written out by hand.
#include <climits>

#include "codec_fixture.h"

namespace codectest {
namespace {

using qortest::concat;
using qortest::hex;
using qortest::to_hex;

class WriteFormat : public CodecTest {
protected:
    // Writes one format with its arguments into a new element and answers the bytes.
    template <typename... Args>
    std::string print(const char *format, Args... args) {
        BerElement *ber = writer();
        int32_t result = berprnt(ber, format, args...);
        std::string bytes = result == 0 ? to_hex(written(ber)) : "failed";
        berfree(ber, 1);
        return bytes;
    }
};

TEST_F(WriteFormat, IntegersAreShortestTwosComplement) {
    EXPECT_EQ(print("i", 0), "02 01 00");
    EXPECT_EQ(print("i", 127), "02 01 7f");
    EXPECT_EQ(print("i", 128), "02 02 00 80");
    EXPECT_EQ(print("i", 255), "02 02 00 ff");
    EXPECT_EQ(print("i", 256), "02 02 01 00");
    EXPECT_EQ(print("i", 65535), "02 03 00 ff ff");
    EXPECT_EQ(print("i", 30000), "02 02 75 30");
    EXPECT_EQ(print("i", -1), "02 01 ff");
    EXPECT_EQ(print("i", -128), "02 01 80");
    EXPECT_EQ(print("i", -129), "02 02 ff 7f");
    EXPECT_EQ(print("i", INT32_MAX), "02 04 7f ff ff ff");
    EXPECT_EQ(print("i", INT32_MIN), "02 04 80 00 00 00");
}

TEST_F(WriteFormat, EnumeratedBooleanNull) {
    EXPECT_EQ(print("e", 2), "0a 01 02");
    EXPECT_EQ(print("e", 256), "0a 02 01 00");
    EXPECT_EQ(print("b", 1), "01 01 ff");
    EXPECT_EQ(print("b", 7), "01 01 ff");
    EXPECT_EQ(print("b", 0), "01 01 00");
    EXPECT_EQ(print("n"), "05 00");
}

TEST_F(WriteFormat, OctetStrings) {
    EXPECT_EQ(print("s", "cn"), "04 02 63 6e");
    EXPECT_EQ(print("s", ""), "04 00");
    EXPECT_EQ(print("s", static_cast<const char *>(nullptr)), "04 00");
}

TEST_F(WriteFormat, LongFormLengthsAtEveryBoundary) {
    struct Case {
        size_t length;
        const char *header;
    };
    for (const Case &c : {Case{127, "04 7f"}, Case{128, "04 81 80"}, Case{255, "04 81 ff"}, Case{256, "04 82 01 00"},
                          Case{65535, "04 82 ff ff"}, Case{65536, "04 83 01 00 00"}}) {
        std::string text = repeated_text(c.length, 'x');
        EXPECT_EQ(print("s", text.c_str()), to_hex(concat({hex(c.header), repeated(c.length, 'x')})))
            << "length " << c.length;
    }
}

TEST_F(WriteFormat, ConstructedLengthsShrinkToTheShortestForm) {
    // Contents of 127 bytes keep the short form, 128 need one length octet more.
    std::string s125 = repeated_text(125, 'a');
    EXPECT_EQ(print("{s}", s125.c_str()), to_hex(concat({hex("30 7f 04 7d"), repeated(125, 'a')})));
    std::string s126 = repeated_text(126, 'a');
    EXPECT_EQ(print("{s}", s126.c_str()), to_hex(concat({hex("30 81 80 04 7e"), repeated(126, 'a')})));
    std::string s65536 = repeated_text(65536, 'b');
    EXPECT_EQ(print("{s}", s65536.c_str()),
              to_hex(concat({hex("30 83 01 00 05 04 83 01 00 00"), repeated(65536, 'b')})));
    // Nested: inner contents 3 + 252 = 255 bytes, outer 3 + 255 = 258.
    std::string s252 = repeated_text(252, 'c');
    EXPECT_EQ(print("{{s}}", s252.c_str()), to_hex(concat({hex("30 82 01 02 30 81 ff 04 81 fc"), repeated(252, 'c')})));
}

TEST_F(WriteFormat, SequencesAndSetsNest) {
    EXPECT_EQ(print("{}"), "30 00");
    EXPECT_EQ(print("[]"), "31 00");
    EXPECT_EQ(print("{{}[]}"), "30 04 30 00 31 00");
    EXPECT_EQ(print("{i[s]}", 5, "a"), "30 08 02 01 05 31 03 04 01 61");
}

TEST_F(WriteFormat, TagReplacesTheDefaultOfTheNextItemOnly) {
    EXPECT_EQ(print("t{}", 0x63), "63 00");
    EXPECT_EQ(print("t[]", 0xa1), "a1 00");
    EXPECT_EQ(print("ts", 0x87, "cn"), "87 02 63 6e");
    EXPECT_EQ(print("tii", 0x50, 2, 3), "50 01 02 02 01 03");
    EXPECT_EQ(print("tn", 0x80), "80 00");
    EXPECT_EQ(print("te", 0x0a, 1), "0a 01 01");
    EXPECT_EQ(print("tb", 0x81, 1), "81 01 ff");
    // A tag of more than one identifier octet is written whole, high octet first.
    EXPECT_EQ(print("ti", 0x9f22, 1), "9f 22 01 01");
}

TEST_F(WriteFormat, StringArrays) {
    const char *texts[] = {"a", "bc", nullptr};
    EXPECT_EQ(print("{v}", texts), "30 07 04 01 61 04 02 62 63");
    const char *empty[] = {nullptr};
    EXPECT_EQ(print("{v}", empty), "30 00");
    EXPECT_EQ(print("{v}", static_cast<char **>(nullptr)), "30 00");
}

TEST_F(WriteFormat, BervalArraysKeepEveryByte) {
    char binary[] = {'\0', '\x01', '\xff'};
    char word[] = {'h', 'i'};
    berval first{3, binary};
    berval second{2, word};
    berval empty_value{0, nullptr};
    berval *values[] = {&first, &second, &empty_value, nullptr};
    EXPECT_EQ(print("[V]", values), "31 0b 04 03 00 01 ff 04 02 68 69 04 00");
    berval *none[] = {nullptr};
    EXPECT_EQ(print("[V]", none), "31 00");
    EXPECT_EQ(print("[V]", static_cast<berval **>(nullptr)), "31 00");
    berval negative{-1, word};
    berval *bad[] = {&negative, nullptr};
    EXPECT_EQ(print("[V]", bad), "failed");
}

TEST_F(WriteFormat, ProtocolMessages) {
    EXPECT_EQ(print("{it{ists}}", 1, 0x60, 3, "cn=admin,o=example", 0x80, "secret"),
              "30 24 02 01 01 60 1f 02 01 03 04 12 63 6e 3d 61 64 6d 69 6e 2c 6f 3d 65 78 61 6d 70 6c 65 "
              "80 06 73 65 63 72 65 74");
    EXPECT_EQ(print("{it{s{ssn}n}n}", 2, 0x6e, "o=x", "cn", "y"),
              "30 19 02 01 02 6e 12 04 03 6f 3d 78 30 09 04 02 63 6e 04 01 79 05 00 05 00 05 00");
    EXPECT_EQ(print("{its}", 3, 0x4a, "o=x"), "30 08 02 01 03 4a 03 6f 3d 78");
    EXPECT_EQ(print("{iti}", 4, 0x50, 2), "30 06 02 01 04 50 01 02");
    EXPECT_EQ(print("{it{ess}}", 5, 0x65, 32, "o=x", ""), "30 0f 02 01 05 65 0a 0a 01 20 04 03 6f 3d 78 04 00");
}

TEST_F(WriteFormat, AMessageWrittenAcrossSeveralCalls) {
    // The search request the way the client writes it: header, filter, attribute list.
    BerElement *ber = writer();
    const char *attrs[] = {"cn", "mail", nullptr};
    ASSERT_EQ(berprnt(ber, "{it{seeiib", 1, 0x63, "o=example", 2, 0, 0, 30000, 0), 0);
    ASSERT_EQ(berprnt(ber, "t{ss}", 0xa3, "cn", "x"), 0);
    ASSERT_EQ(berprnt(ber, "{v}}}", attrs), 0);
    EXPECT_EQ(to_hex(written(ber)),
              "30 35 02 01 01 63 30 04 09 6f 3d 65 78 61 6d 70 6c 65 0a 01 02 0a 01 00 02 01 00 02 02 75 30 "
              "01 01 00 a3 07 04 02 63 6e 04 01 78 30 0a 04 02 63 6e 04 04 6d 61 69 6c");
    berfree(ber, 1);
}

TEST_F(WriteFormat, RawBytesAreAppended) {
    BerElement *ber = writer();
    ASSERT_EQ(berprnt(ber, "i", 1), 0);
    const uint8_t raw[] = {0xde, 0xad};
    EXPECT_EQ(berwrte(ber, raw, 2, 0), 2);
    EXPECT_EQ(berwrte(ber, raw, 0, 0), 0);
    EXPECT_EQ(berwrte(ber, raw, -1, 0), -1);
    EXPECT_EQ(to_hex(written(ber)), "02 01 01 de ad");
    berfree(ber, 1);
}

TEST_F(WriteFormat, MalformedFormatsFail) {
    EXPECT_EQ(print("q"), "failed");       // unknown item
    EXPECT_EQ(print("}"), "failed");       // nothing open
    EXPECT_EQ(print("{]"), "failed");      // closes what it did not open
    EXPECT_EQ(print("[}"), "failed");
    EXPECT_EQ(print("t", 0x80), "failed");  // a tag without its item
    EXPECT_EQ(print("{t}", 0x80), "failed");
    EXPECT_EQ(print("tts", 0x80, 0x81, "x"), "failed");
}

TEST_F(WriteFormat, AFailedElementStaysFailed) {
    BerElement *ber = writer();
    ASSERT_EQ(berprnt(ber, "{i", 1), 0);
    EXPECT_EQ(berprnt(ber, "]"), -1);
    // Once a write has failed the bytes are not a message: nothing more is written into them.
    EXPECT_EQ(berprnt(ber, "}"), -1);
    EXPECT_EQ(berwrte(ber, "x", 1, 0), -1);
    berfree(ber, 1);
}

TEST_F(WriteFormat, LargeOutputGrowsThroughThePool) {
    BerElement *ber = writer();
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(berprnt(ber, "{s}", "0123456789"), 0);
    EXPECT_EQ(written(ber).size(), 1000u * 14);
    EXPECT_EQ(live_blocks(), 2);   // the element and one buffer: every outgrown buffer was released
    berfree(ber, 1);
}

}  // namespace
}  // namespace codectest
