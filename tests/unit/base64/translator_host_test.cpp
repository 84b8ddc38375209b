// The translators against a scripted transcoder and a counting pool, for what the runtime's
// transcoder never does: asking for more room when decoding, claiming more output than fits,
// naming a useless size, and answering statuses other than success, "too small" and "not
// convertible".
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "module/client/ldtrans.h"
#include "tests/unit/util/fake_control_block.h"

namespace {

constexpr int32_t kTooSmall = static_cast<int32_t>(0x80002011u);
constexpr int32_t kNotConvertible = static_cast<int32_t>(0x80002006u);
constexpr int32_t kUnknownEncoding = static_cast<int32_t>(0x80002007u);
constexpr int32_t kHostEncoding = 7;
constexpr int32_t kWritten = INT32_MIN;

// One scripted answer of the transcoder.
struct Answer {
    int32_t status;
    std::string output;   // written at the destination, cut to its capacity
    int32_t produced;     // stored as the destination length; kWritten: the bytes written
    int32_t needed;       // stored as the size needed
};

struct Call {
    std::string source;
    int32_t from;
    int32_t capacity;
    int32_t to;
};

std::deque<Answer> g_answers;
std::vector<Call> g_calls;
std::vector<int32_t> g_logged;

extern "C" int32_t scripted_wztxcod(const uint8_t *source, int32_t source_length, int32_t from, uint8_t *destination,
                                    int32_t *destination_length, int32_t to, int32_t *needed) {
    g_calls.push_back({std::string(reinterpret_cast<const char *>(source), static_cast<size_t>(source_length)), from,
                       *destination_length, to});
    if (g_answers.empty()) {
        ADD_FAILURE() << "unexpected transcoder call";
        return kUnknownEncoding;
    }
    const Answer a = g_answers.front();
    g_answers.pop_front();
    const size_t fits = std::min(a.output.size(), static_cast<size_t>(*destination_length));
    std::memcpy(destination, a.output.data(), fits);
    *destination_length = a.produced != kWritten ? a.produced : static_cast<int32_t>(fits);
    *needed = a.needed;
    return a.status;
}

extern "C" int32_t recording_xprrlog(int32_t zero, int32_t status) {
    EXPECT_EQ(zero, 0);
    g_logged.push_back(status);
    return 0;
}

// A pool that counts its blocks and can refuse its nth allocation.
struct CountingPool : HostPool {
    CountingPool() : HostPool{&CountingPool::allocate, &CountingPool::release} {}
    std::set<void *> live;
    long allocations = 0;
    long fail_at = 0;   // 0: never

    static void *allocate(HostPool *pool, int32_t size, int32_t flags) {
        auto *self = static_cast<CountingPool *>(pool);
        EXPECT_EQ(flags, 6);
        if (++self->allocations == self->fail_at || size <= 0) {
            return nullptr;
        }
        void *block = std::calloc(1, static_cast<size_t>(size));
        self->live.insert(block);
        return block;
    }
    static int32_t release(HostPool *pool, void *block, int32_t zero, int32_t flags) {
        auto *self = static_cast<CountingPool *>(pool);
        EXPECT_EQ(zero, 0);
        EXPECT_EQ(flags, 6) << "transcoding buffers go back with flag 6";
        EXPECT_EQ(self->live.erase(block), 1u) << "released a block the pool does not know";
        std::free(block);
        return 0;
    }
};

struct Outcome {
    int32_t result;
    uint8_t *buffer;
    int32_t length;
    std::string text() const { return std::string(reinterpret_cast<const char *>(buffer), static_cast<size_t>(length)); }
};

// A translator that gave no output: it failed, left no buffer and the caller's length as it was,
// and released every block, the input included.
void expect_no_output(const Outcome &o, const CountingPool &pool, int32_t input_length) {
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.buffer, nullptr);
    EXPECT_EQ(o.length, input_length);
    EXPECT_TRUE(pool.live.empty());
}

class TranslatorLogic : public ::testing::Test {
protected:
    void SetUp() override {
        host_.set_service(0, 333, &scripted_wztxcod);
        host_.set_service(30, 130, &recording_xprrlog);
        host_.set_host_encoding(kHostEncoding);
        g_answers.clear();
        g_calls.clear();
        g_logged.clear();
    }
    void TearDown() override {
        EXPECT_TRUE(g_answers.empty()) << "scripted answers left over";
        for (void *block : pool_.live) {
            std::free(block);
        }
    }

    // The host answers a status that is no failure with text that stands in for what it could
    // not convert: the status is logged and the text kept.
    void expect_kept_with_logged_status(StringTranslator translator, const std::string &input, const char *output) {
        const int32_t status = 0x00002001;
        g_answers.push_back({status, output, kWritten, 0});
        const Outcome o = run(translator, input);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.text(), output);
        EXPECT_EQ(g_logged, std::vector<int32_t>{status});
    }

    // Translates a pool copy of `input` with the free flag set.
    Outcome run(StringTranslator translator, const std::string &input) {
        auto *copy = static_cast<uint8_t *>(CountingPool::allocate(&pool_, static_cast<int32_t>(input.size()) + 1, 6));
        std::memcpy(copy, input.data(), input.size());
        Outcome o{0, copy, static_cast<int32_t>(input.size())};
        o.result = translator(&pool_, &o.buffer, &o.length, 1);
        return o;
    }

    qortest::FakeControlBlock host_;
    CountingPool pool_;
};

TEST_F(TranslatorLogic, DecodingAsksTheHostForTheHostEncodingWithTheInputsLength) {
    g_answers.push_back({0, "h\xF6st", kWritten, 0});
    const Outcome o = run(decode_proc, "h\xC3\xB6st");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.text(), "h\xF6st");
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].source, "h\xC3\xB6st");
    EXPECT_EQ(g_calls[0].from, kWireEncoding);
    EXPECT_EQ(g_calls[0].to, kHostEncoding);
    EXPECT_EQ(g_calls[0].capacity, 5);
    EXPECT_TRUE(g_logged.empty());
    EXPECT_EQ(pool_.live.size(), 1u);
}

TEST_F(TranslatorLogic, DecodingRetriesWithTheSizeTheHostNeeds) {
    g_answers.push_back({kTooSmall, "wide", kWritten, 10});
    g_answers.push_back({0, "0123456789", kWritten, 10});
    const Outcome o = run(decode_proc, "abc");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.text(), "0123456789");
    EXPECT_EQ(o.buffer[10], 0) << "the larger buffer keeps room for a NUL";
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].capacity, 3);
    EXPECT_EQ(g_calls[1].capacity, 10);
    EXPECT_EQ(pool_.live.size(), 1u) << "only the output is left";
}

TEST_F(TranslatorLogic, DecodingFallsBackToBase64AfterTheRetryToo) {
    g_answers.push_back({kTooSmall, "", 0, 10});
    g_answers.push_back({kNotConvertible, "par", kWritten, 10});
    const Outcome o = run(decode_proc, "\xE2\x82\xAC");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.text(), "4oKs");
    EXPECT_EQ(pool_.live.size(), 1u);
}

TEST_F(TranslatorLogic, DecodingLogsOtherFailuresAndDeliversNoPartialText) {
    g_answers.push_back({kUnknownEncoding, "ab", kWritten, 0});
    expect_no_output(run(decode_proc, "abcd"), pool_, 4);
    EXPECT_EQ(g_logged, std::vector<int32_t>{kUnknownEncoding});

    g_answers.push_back({kTooSmall, "", 0, 6});
    g_answers.push_back({kTooSmall, "abcdef", kWritten, 9});   // the host contradicts itself
    expect_no_output(run(decode_proc, "abcd"), pool_, 4);
}

TEST_F(TranslatorLogic, DecodingLogsANonFailureStatusAndKeepsTheOutput) {
    expect_kept_with_logged_status(decode_proc, "abcd", "ab?d");
}

TEST_F(TranslatorLogic, AClaimedLengthNeverExceedsTheBuffer) {
    g_answers.push_back({0, "abcd", 4000, 0});
    Outcome o = run(decode_proc, "abcd");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.length, 4);

    g_answers.push_back({0, "ab", -5, 0});
    o = run(encode_proc, "abcd");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.length, 0);
}

TEST_F(TranslatorLogic, AUselessNeededSizeGivesNoOutput) {
    for (int32_t needed : {0, -1, INT32_MAX}) {
        SCOPED_TRACE(needed);
        g_answers.push_back({kTooSmall, "", 0, needed});
        // Input and first buffer released.
        expect_no_output(run(decode_proc, "abc"), pool_, 3);
    }
}

TEST_F(TranslatorLogic, EncodingAsksForTheWireEncodingAndRetries) {
    g_answers.push_back({kTooSmall, "h", kWritten, 6});
    g_answers.push_back({0, "h\xC3\xB6st", kWritten, 6});
    const Outcome o = run(encode_proc, "h\xF6st");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.text(), "h\xC3\xB6st");
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].from, kHostEncoding);
    EXPECT_EQ(g_calls[0].to, kWireEncoding);
    EXPECT_EQ(g_calls[0].capacity, 4);
    EXPECT_EQ(g_calls[1].capacity, 6);
    EXPECT_TRUE(g_logged.empty());
}

TEST_F(TranslatorLogic, EncodingLogsAFailedTranscodingAndSendsNothing) {
    g_answers.push_back({kNotConvertible, "h", kWritten, 0});
    expect_no_output(run(encode_proc, "h\xF6st"), pool_, 4);
    EXPECT_EQ(g_logged, std::vector<int32_t>{kNotConvertible});
}

TEST_F(TranslatorLogic, EncodingLogsANonFailureStatusAndKeepsTheOutput) {
    expect_kept_with_logged_status(encode_proc, "h\xF6st", "h?st");
}

TEST_F(TranslatorLogic, EqualEncodingsNeedNoTranscoder) {
    host_.set_host_encoding(kWireEncoding);
    Outcome o = run(decode_proc, "same");
    EXPECT_EQ(o.text(), "same");
    o = run(encode_proc, "same");
    EXPECT_EQ(o.text(), "same");
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(TranslatorLogic, EachBufferThatCannotBeHadGivesNoOutputAndNoLeak) {
    // 1: the input copy (by the test); 2: the first buffer; 3: the buffer of the size needed or
    // the Base64 buffer.
    struct Case {
        StringTranslator translator;
        int32_t first_status;
        long fail_at;
    };
    for (const Case c : {Case{decode_proc, 0, 2}, Case{decode_proc, kTooSmall, 3}, Case{decode_proc, kNotConvertible, 3},
                         Case{encode_proc, 0, 2}, Case{encode_proc, kTooSmall, 3}}) {
        pool_.allocations = 0;
        pool_.fail_at = c.fail_at;
        if (c.fail_at == 3) {
            g_answers.push_back({c.first_status, "x", kWritten, 8});
        }
        SCOPED_TRACE(c.fail_at);
        expect_no_output(run(c.translator, "abc"), pool_, 3);
        EXPECT_TRUE(g_logged.empty()) << "nothing was transcoded to the end, so nothing is logged";
    }
}

}  // namespace
