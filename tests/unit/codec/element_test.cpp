// Element life and the single-item reads the reader uses on every received message.
#include <cstring>

#include "codec_fixture.h"

namespace codectest {
namespace {

using qortest::hex;
using qortest::to_hex;

class Element : public CodecTest {};

// A bind response with message id 1 and result 0, as slapd sends it.
const char kBindResponse[] = "30 0c 02 01 01 61 07 0a 01 00 04 00 04 00";

TEST_F(Element, AllocatedElementCarriesPoolAndOptions) {
    BerElement *ber = berallt(pool_, 5);
    ASSERT_NE(ber, nullptr);
    EXPECT_EQ(ber->be_pool, pool_);
    EXPECT_EQ(ber->be_options, 5);
    EXPECT_EQ(ber->be_start, nullptr);
    EXPECT_EQ(berallt(nullptr, 5), nullptr);
    berfree(ber, 1);
}

TEST_F(Element, InitEmptiesEveryField) {
    BerElement ber;
    std::memset(&ber, 0xA5, sizeof ber);
    berinit(&ber, 0);
    const BerElement zero{};
    EXPECT_EQ(std::memcmp(&ber, &zero, sizeof ber), 0);
}

TEST_F(Element, ReceivedMessageIsReadTheWayTheReaderDoes) {
    BerElement *ber = reader(hex(kBindResponse));
    uint32_t length = 0;
    EXPECT_EQ(bersktg(ber, &length), 0x30);
    EXPECT_EQ(length, 12u);
    int32_t id = 0;
    EXPECT_EQ(bergint(ber, &id), 2);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(berpktg(ber, &length), 0x61);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(berpktg(ber, &length), 0x61);   // peeking does not consume
    BerElement copy = *ber;
    int32_t code = -1;
    char *matched = nullptr;
    char *error = nullptr;
    EXPECT_EQ(berscan(&copy, "{iaa}", &code, &matched, &error), 4);
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(matched, "");
    EXPECT_STREQ(error, "");
    release(matched);
    release(error);
    berfree(ber, 1);
}

TEST_F(Element, SingleItemReadsRefuseWhatIsNotThere) {
    BerElement *ber = reader(hex("30 03 02 01 01"));
    int32_t value = 99;
    EXPECT_EQ(bergint(ber, &value), -1);   // a constructed element is no integer
    EXPECT_EQ(value, 99);
    berfree(ber, 1);

    ber = reader(hex("04 02 68 69 30 84 00 00 00 05"));
    char *text = nullptr;
    EXPECT_EQ(bergstr(ber, &text), 4);
    EXPECT_STREQ(text, "hi");
    release(text);
    uint32_t length = 0;
    EXPECT_EQ(berpktg(ber, &length), -1);   // claims five octets, has none
    EXPECT_EQ(bersktg(ber, &length), -1);
    text = nullptr;
    EXPECT_EQ(bergstr(ber, &text), -1);
    EXPECT_EQ(text, nullptr);
    berfree(ber, 1);
}

TEST_F(Element, RewindTurnsAWrittenElementIntoAReadableOne) {
    BerElement *ber = writer();
    ASSERT_EQ(berprnt(ber, "{it{ess}}", 7, 0x65, 0, "", "done"), 0);
    uint8_t *end = ber->be_pos;
    berrest(ber, 1);
    EXPECT_EQ(ber->be_pos, ber->be_start);
    EXPECT_EQ(ber->be_end, end);
    uint32_t length = 0;
    int32_t id = 0;
    EXPECT_EQ(bersktg(ber, &length), 0x30);
    EXPECT_EQ(bergint(ber, &id), 2);
    EXPECT_EQ(id, 7);
    EXPECT_EQ(berpktg(ber, &length), 0x65);
    int32_t code = -1;
    char buffer[100];
    int32_t size = sizeof buffer;
    EXPECT_EQ(berscan(ber, "{ixs}", &code, buffer, &size), 4);
    EXPECT_STREQ(buffer, "done");
    EXPECT_EQ(ber->be_pos, ber->be_end);
    berfree(ber, 1);
}

TEST_F(Element, FreeReleasesTheBufferOnlyWhenAsked) {
    BerElement *ber = reader(hex(kBindResponse));
    uint8_t *buffer = ber->be_start;
    BerElement *dup = berdup(ber);
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(live_blocks(), 3);
    berfree(dup, 0);
    EXPECT_EQ(live_blocks(), 2);
    EXPECT_EQ(buffer[0], 0x30);   // still readable
    berfree(ber, 1);
    EXPECT_EQ(live_blocks(), 0);
    berfree(nullptr, 1);
}

TEST_F(Element, DuplicateFailsCleanlyWithoutMemory) {
    BerElement *ber = reader(hex(kBindResponse));
    {
        qortest::FailAllocations fail(1);
        EXPECT_EQ(berdup(ber), nullptr);
    }
    {
        qortest::FailAllocations fail(1);
        EXPECT_EQ(berallt(pool_, 0), nullptr);
    }
    berfree(ber, 1);
}

TEST_F(Element, WritingFailsCleanlyWithoutMemory) {
    BerElement *ber = writer();
    ASSERT_EQ(berprnt(ber, "{i", 1), 0);
    const std::string big = repeated_text(5000, 'w');
    {
        qortest::FailAllocations fail(1, true);
        EXPECT_EQ(berprnt(ber, "s}", big.c_str()), -1);
    }
    EXPECT_EQ(live_blocks(), 2);   // the element and its old buffer: the failed growth left nothing
    berfree(ber, 1);
}

}  // namespace
}  // namespace codectest
