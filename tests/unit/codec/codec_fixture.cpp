// Shared fixture of the codec tests.
#include "codec_fixture.h"

namespace codectest {

namespace {

// One pool for the whole program, made on first use and kept to the end.
HostPool *program_pool() {
    static HostPool *pool = [] {
        HostPool *made = nullptr;
        return wmtpc(&made, 4096, 1024, 258, 0) == 0 ? made : nullptr;
    }();
    return pool;
}

}  // namespace

void CodecTest::SetUp() {
    ASSERT_TRUE(qortest::module_loaded());
    ASSERT_NE(qortest::vector(QORLDAP_CODEC_MODULE), nullptr);
    pool_ = program_pool();
    ASSERT_NE(pool_, nullptr);
    blocks_before_ = qortest::pool_stats(pool_).live_blocks;
}

void CodecTest::TearDown() {
    EXPECT_EQ(live_blocks(), 0) << "the test left blocks in the pool";
}

long CodecTest::live_blocks() const {
    return qortest::pool_stats(pool_).live_blocks - blocks_before_;
}

BerElement *CodecTest::reader(const Bytes &bytes) {
    BerElement *ber = berallt(pool_, 0);
    EXPECT_NE(ber, nullptr);
    if (ber == nullptr) return nullptr;
    EXPECT_EQ(berwrte(ber, bytes.data(), static_cast<int32_t>(bytes.size()), 0), static_cast<int32_t>(bytes.size()));
    berrest(ber, 1);
    return ber;
}

BerElement *CodecTest::writer() {
    BerElement *ber = berallt(pool_, 0);
    EXPECT_NE(ber, nullptr);
    return ber;
}

void CodecTest::release(void *block) {
    pool_->release(pool_, block, 0, 4);
}

void CodecTest::release_texts(char **texts) {
    for (char **at = texts; *at != nullptr; ++at) release(*at);
    release(texts);
}

void CodecTest::release_values(berval **values) {
    for (berval **at = values; *at != nullptr; ++at) {
        release((*at)->bv_val);
        release(*at);
    }
    release(values);
}

Bytes written(const BerElement *ber) {
    if (ber->be_start == nullptr) return {};
    return Bytes(ber->be_start, ber->be_pos);
}

Bytes repeated(std::size_t count, std::uint8_t byte) {
    return Bytes(count, byte);
}

std::string repeated_text(std::size_t count, char c) {
    return std::string(count, c);
}

}  // namespace codectest
