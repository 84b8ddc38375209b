// The string translators against the platform runtime's transcoder and pools: identity for a
// UTF-8 host, conversion and the Base64 fallback for an ISO-8859-1 host, the retry when the
// first buffer is too small, and every allocation failure (no output, nothing leaked, the input
// released exactly when the caller asked for it).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "module/client/ldap.h"
#include "module/client/ldtrans.h"
#include "abi/host_types.h"
#include "tests/support/runtime.h"

namespace {

using PoolCreate = int32_t (*)(HostPool **, int32_t, int32_t, int32_t, uintptr_t);
using PoolDestroy = int32_t (*)(HostPool *);

int32_t current_host_encoding() {
    const auto *block = reinterpret_cast<const uintptr_t *>(qorhost_control_block());
    return static_cast<int32_t>(reinterpret_cast<const uintptr_t *>(block[kGcbEncoding])[kEncodingWord]);
}

// What a translator call left behind.
struct Translation {
    int32_t result;
    std::string text;       // the output bytes (empty when there is none)
    int32_t length;         // the caller's length afterwards
    bool buffer_null;
    bool nul_terminated;    // a NUL follows the output
    bool input_reused;      // the output is the input buffer itself
};

class Translators : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qortest::module_loaded());
        saved_encoding_ = current_host_encoding();
        const auto create = qortest::entry<PoolCreate>(0, 112);
        ASSERT_NE(create, nullptr);
        ASSERT_EQ(create(&pool_, 4096, 1024, 258, 1), 0);
        ASSERT_NE(pool_, nullptr);
    }
    void TearDown() override {
        qorhost_set_encoding(saved_encoding_);
        if (pool_ != nullptr) {
            qortest::entry<PoolDestroy>(0, 113)(pool_);
        }
    }

    void use_host_encoding(const char *name) {
        const int number = qorhost_encoding_number(name);
        ASSERT_GT(number, 0) << name;
        ASSERT_EQ(qorhost_set_encoding(number), 0);
    }

    // A pool copy of `bytes`, as the codec hands strings to a translator.
    uint8_t *pool_copy(const std::string &bytes) {
        auto *copy = static_cast<uint8_t *>(pool_->allocate(pool_, static_cast<int32_t>(bytes.size()) + 1, 6));
        if (copy != nullptr) {
            std::memcpy(copy, bytes.data(), bytes.size());
        }
        return copy;
    }

    Translation translate(StringTranslator translator, const std::string &bytes, int32_t free_input) {
        uint8_t *input = pool_copy(bytes);
        EXPECT_NE(input, nullptr);
        uint8_t *buffer = input;
        Translation t{};
        t.length = static_cast<int32_t>(bytes.size());
        t.result = translator(pool_, &buffer, &t.length, free_input);
        t.buffer_null = buffer == nullptr;
        if (buffer != nullptr) {
            t.text.assign(reinterpret_cast<const char *>(buffer), static_cast<size_t>(t.length));
            t.nul_terminated = buffer[t.length] == 0;
            t.input_reused = buffer == input;
            pool_->release(pool_, buffer, 0, 6);
        }
        if (free_input == 0) {
            pool_->release(pool_, input, 0, 6);
        }
        return t;
    }

    long live_blocks() { return qortest::pool_stats(pool_).live_blocks; }
    long allocations() { return qortest::pool_stats(pool_).allocations; }

    HostPool *pool_ = nullptr;
    int32_t saved_encoding_ = kWireEncoding;
};

void expect_output(const Translation &t, const std::string &text) {
    EXPECT_EQ(t.result, 0);
    EXPECT_FALSE(t.buffer_null);
    EXPECT_EQ(t.text, text);
    EXPECT_EQ(t.length, static_cast<int32_t>(text.size()));
    EXPECT_TRUE(t.nul_terminated);
    EXPECT_FALSE(t.input_reused);
}

TEST_F(Translators, AUtf8HostGetsOneCopyOfEveryString) {
    use_host_encoding("UTF-8");
    for (const std::string &text : {std::string(), std::string("cn=Jos\xC3\xA9"), std::string("\xFF\xFE raw", 6),
                                   std::string("a\0b", 3)}) {
        const long before = allocations();
        expect_output(translate(decode_proc, text, 1), text);
        EXPECT_EQ(allocations() - before, 2) << "the input and one output buffer";
        expect_output(translate(encode_proc, text, 1), text);
    }
    EXPECT_EQ(live_blocks(), 0);
}

TEST_F(Translators, ALatin1HostReadsAndWritesItsOwnBytes) {
    use_host_encoding("ISO-8859-1");
    expect_output(translate(decode_proc, "cn=Jos\xC3\xA9 M\xC3\xBCller", 1), "cn=Jos\xE9 M\xFCller");
    expect_output(translate(encode_proc, "cn=Jos\xE9 M\xFCller", 1), "cn=Jos\xC3\xA9 M\xC3\xBCller");
    expect_output(translate(encode_proc, "plain ascii", 1), "plain ascii");
    EXPECT_EQ(live_blocks(), 0);
}

TEST_F(Translators, TheHostEncodingIsReadAtEachCall) {
    use_host_encoding("ISO-8859-1");
    expect_output(translate(decode_proc, "\xC3\xA9", 1), "\xE9");
    use_host_encoding("UTF-8");
    expect_output(translate(decode_proc, "\xC3\xA9", 1), "\xC3\xA9");
}

TEST_F(Translators, AValueTheHostCannotRepresentArrivesAsBase64OfItsBytes) {
    use_host_encoding("ISO-8859-1");
    expect_output(translate(decode_proc, "\xE2\x82\xAC", 1), "4oKs");           // the euro sign
    expect_output(translate(decode_proc, "ab\xFF\xFE", 1), "YWL//g==");        // not UTF-8 at all
    expect_output(translate(decode_proc, "price 5\xE2\x82\xAC", 1), "cHJpY2UgNeKCrA==");
    EXPECT_EQ(live_blocks(), 0);
}

TEST_F(Translators, AnOutputLongerThanTheInputIsTranscodedAgainInALargerBuffer) {
    use_host_encoding("ISO-8859-1");
    const std::string latin(300, '\xE9');
    std::string utf8;
    for (int i = 0; i < 300; ++i) {
        utf8 += "\xC3\xA9";
    }
    const long before = allocations();
    expect_output(translate(encode_proc, latin, 1), utf8);
    EXPECT_EQ(allocations() - before, 3) << "the input, the first buffer and the one of the size needed";
    EXPECT_EQ(live_blocks(), 0) << "the first buffer went back to the pool";
}

TEST_F(Translators, TextTheHostCannotTranscodeIsNotSentDamaged) {
    use_host_encoding("US-ASCII");
    Translation t = translate(encode_proc, "caf\xE9 au lait", 1);
    EXPECT_EQ(t.result, 1);
    EXPECT_TRUE(t.buffer_null);
    EXPECT_EQ(t.length, 12) << "the length stays as it was";
    EXPECT_EQ(live_blocks(), 0) << "the input and the partial output are both released";

    t = translate(encode_proc, "caf\xE9", 0);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(live_blocks(), 0);
}

TEST_F(Translators, WithoutABufferTheAnswerIsOneAndTheInputIsReleasedOnlyWhenAsked) {
    use_host_encoding("UTF-8");
    for (StringTranslator translator : {encode_proc, decode_proc}) {
        for (int32_t free_input : {1, 0}) {
            uint8_t *input = pool_copy("cn=x");
            uint8_t *buffer = input;
            int32_t length = 4;
            {
                qortest::FailAllocations fail(1, true);
                EXPECT_EQ(translator(pool_, &buffer, &length, free_input), 1);
            }
            EXPECT_EQ(buffer, nullptr);
            EXPECT_EQ(length, 4);
            EXPECT_EQ(live_blocks(), free_input != 0 ? 0 : 1);
            if (free_input == 0) {
                pool_->release(pool_, input, 0, 6);
            }
        }
    }
}

// Every allocation a translation makes is made to fail in turn: each outcome is either the
// complete output or no output, and nothing but the input (when it was kept) stays allocated.
TEST_F(Translators, EveryAllocationFailureLeavesNoOutputAndNoLeak) {
    struct Scenario {
        const char *encoding;
        StringTranslator translator;
        std::string input;
        std::string output;
    };
    const Scenario scenarios[] = {
        {"UTF-8", decode_proc, "cn=a", "cn=a"},
        {"ISO-8859-1", decode_proc, "\xC3\xA9t\xC3\xA9", "\xE9t\xE9"},
        {"ISO-8859-1", decode_proc, "\xE2\x82\xAC", "4oKs"},
        {"ISO-8859-1", encode_proc, "\xE9t\xE9", "\xC3\xA9t\xC3\xA9"},
    };
    for (const Scenario &s : scenarios) {
        use_host_encoding(s.encoding);
        for (int32_t free_input : {1, 0}) {
            bool completed = false;
            for (long nth = 1; !completed && nth < 10; ++nth) {
                uint8_t *input = pool_copy(s.input);
                uint8_t *buffer = input;
                auto length = static_cast<int32_t>(s.input.size());
                int32_t result;
                long injected;
                {
                    qortest::FailAllocations fail(nth);
                    result = s.translator(pool_, &buffer, &length, free_input);
                    injected = fail.injected();
                }
                const long kept = free_input != 0 ? 0 : 1;
                if (injected == 0) {
                    completed = true;
                    ASSERT_EQ(result, 0) << s.input;
                    EXPECT_EQ(std::string(reinterpret_cast<const char *>(buffer), static_cast<size_t>(length)), s.output);
                    EXPECT_EQ(live_blocks(), kept + 1);
                    pool_->release(pool_, buffer, 0, 6);
                } else {
                    ASSERT_EQ(result, 1) << s.input << " failing allocation " << nth;
                    EXPECT_EQ(buffer, nullptr);
                    EXPECT_EQ(length, static_cast<int32_t>(s.input.size()));
                    EXPECT_EQ(live_blocks(), kept) << s.input << " failing allocation " << nth;
                }
                if (free_input == 0) {
                    pool_->release(pool_, input, 0, 6);
                }
                ASSERT_EQ(live_blocks(), 0);
            }
            EXPECT_TRUE(completed) << s.input;
        }
    }
}

TEST(StringTranslators, AreInstalledInTheirOwnSlots) {
    LDAP ld{};
    ldap_set_string_translators(&ld, encode_proc, decode_proc);
    EXPECT_EQ(ld.ld_encode_translator, &encode_proc);
    EXPECT_EQ(ld.ld_decode_translator, &decode_proc);
    ldap_set_string_translators(&ld, nullptr, nullptr);
    EXPECT_EQ(ld.ld_encode_translator, nullptr);
    EXPECT_EQ(ld.ld_decode_translator, nullptr);
}

}  // namespace
