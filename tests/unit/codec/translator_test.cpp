// Translators installed with bersstt apply to every string written or read, on pool copies.
#include <cstring>

#include "codec_fixture.h"

namespace codectest {
namespace {

using qortest::hex;
using qortest::to_hex;

int g_calls = 0;

// Replaces *buffer by a new pool block made by `make` from the old contents, releasing the old
// one when asked, as host translators do.
template <typename Make>
int32_t replace(HostPool *pool, uint8_t **buffer, int32_t *length, int32_t free_input, Make make) {
    ++g_calls;
    std::string in(reinterpret_cast<char *>(*buffer), static_cast<size_t>(*length));
    std::string out = make(in);
    auto *block = static_cast<uint8_t *>(pool->allocate(pool, static_cast<int32_t>(out.size()), 6));
    if (free_input != 0) pool->release(pool, *buffer, 0, 6);
    *buffer = block;
    if (block == nullptr) return 1;
    std::memcpy(block, out.data(), out.size());   // exactly the size: no room for a NUL
    *length = static_cast<int32_t>(out.size());
    return 0;
}

int32_t upper(HostPool *pool, uint8_t **buffer, int32_t *length, int32_t free_input) {
    return replace(pool, buffer, length, free_input, [](std::string s) {
        for (char &c : s) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        return s;
    });
}

int32_t bracket(HostPool *pool, uint8_t **buffer, int32_t *length, int32_t free_input) {
    return replace(pool, buffer, length, free_input, [](const std::string &s) { return "<" + s + ">"; });
}

int32_t refuse(HostPool *pool, uint8_t **buffer, int32_t *, int32_t free_input) {
    ++g_calls;
    if (free_input != 0) pool->release(pool, *buffer, 0, 6);
    *buffer = nullptr;
    return 1;
}

class Translators : public CodecTest {
protected:
    void SetUp() override {
        CodecTest::SetUp();
        g_calls = 0;
    }
};

TEST_F(Translators, EveryStringWrittenIsEncoded) {
    BerElement *ber = writer();
    bersstt(ber, upper, bracket);
    const char *texts[] = {"ab", "c", nullptr};
    char bytes[] = {'x', 'y'};
    berval value{2, bytes};
    berval *values[] = {&value, nullptr};
    ASSERT_EQ(berprnt(ber, "{is[v][V]ts}", 1, "cn", texts, values, 0x80, "pw"), 0);
    EXPECT_EQ(to_hex(written(ber)), "30 1a 02 01 01 04 02 43 4e 31 07 04 02 41 42 04 01 43 31 04 04 02 58 59 80 02 50 57");
    EXPECT_EQ(g_calls, 5);
    berfree(ber, 1);
}

TEST_F(Translators, EveryStringReadIsDecoded) {
    BerElement *ber = reader(hex("30 15 04 01 61 04 01 62 04 00 31 03 04 01 63 31 03 04 01 64 04 01 65"));
    bersstt(ber, upper, bracket);
    char buffer[8];
    int32_t size = sizeof buffer;
    char **texts = nullptr;
    berval **values = nullptr;
    char *first = nullptr;
    char *third = nullptr;
    ASSERT_EQ(berscan(ber, "{asa[v][V]", &first, buffer, &size, &third, &texts, &values), 4);
    EXPECT_STREQ(first, "<a>");
    EXPECT_STREQ(buffer, "<b>");
    EXPECT_EQ(size, 3);
    EXPECT_STREQ(third, "<>");
    EXPECT_STREQ(texts[0], "<c>");
    EXPECT_EQ(values[0]->bv_len, 3);
    EXPECT_EQ(std::string(values[0]->bv_val), "<d>");
    char *last = nullptr;
    EXPECT_EQ(bergstr(ber, &last), 4);
    EXPECT_STREQ(last, "<e>");
    for (char *text : {first, third, last}) release(text);
    release_texts(texts);
    release_values(values);
    berfree(ber, 1);
}

TEST_F(Translators, TranslatedTextMustFitTheCallersBuffer) {
    BerElement *ber = reader(hex("04 02 61 62"));
    bersstt(ber, nullptr, bracket);
    char buffer[8];
    int32_t size = 4;   // "ab" fits, "<ab>" does not
    EXPECT_EQ(berscan(ber, "s", buffer, &size), -1);
    size = 5;
    EXPECT_EQ(berscan(ber, "s", buffer, &size), 4);
    EXPECT_STREQ(buffer, "<ab>");
    berfree(ber, 1);
}

TEST_F(Translators, ATranslatorWithoutABufferFailsTheItem) {
    BerElement *ber = writer();
    bersstt(ber, refuse, refuse);
    EXPECT_EQ(berprnt(ber, "s", "x"), -1);
    berfree(ber, 1);

    ber = reader(hex("30 06 04 01 61 04 01 62"));
    bersstt(ber, nullptr, refuse);
    char **texts = nullptr;
    EXPECT_EQ(berscan(ber, "{v}", &texts), -1);
    EXPECT_EQ(texts, nullptr);
    ASSERT_EQ(berscan(ber, "{"), 0x30);
    char *text = nullptr;
    EXPECT_EQ(bergstr(ber, &text), -1);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(g_calls, 3);
    berfree(ber, 1);
}

TEST_F(Translators, RemovingTranslatorsStopsTranslation) {
    BerElement *ber = writer();
    bersstt(ber, upper, bracket);
    bersstt(ber, nullptr, nullptr);
    ASSERT_EQ(berprnt(ber, "s", "ab"), 0);
    EXPECT_EQ(to_hex(written(ber)), "04 02 61 62");
    EXPECT_EQ(g_calls, 0);
    berfree(ber, 1);
}

}  // namespace
}  // namespace codectest
