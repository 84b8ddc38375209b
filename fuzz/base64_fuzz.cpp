// Base64: arbitrary bytes encoded (with and without line breaks) into buffers of exactly the
// required capacity and decoded back; arbitrary text decoded into a buffer of exactly the
// required capacity and compared with a plain reading of the decoding rules; and the decode
// translator's fallback, whose Base64 text must give back the bytes it could not convert.
//   - encode_base64 writes exactly 4 * ((n + 2) / 3) characters (with line breaks also a line feed
//     after every 19 whole groups, a final one and a NUL), and refuses a capacity one short
//     without writing anything;
//   - decode_base64 of an encoding gives back the bytes, of any text what the rules say;
//   - nothing is written outside the buffers (the sanitizers watch their exact sizes).
// The first input byte chooses the host encoding for the translator (bit 0: US-ASCII, else
// ISO-8859-1); the rest is the data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/support/runtime.h"
#include "module/client/ldb64.h"
#include "module/client/ldtrans.h"
#include "qorldap/qorhost.h"

namespace {

using qorfuzz::fail;

constexpr int32_t kPad = 64;
constexpr int32_t kMissing = 65;

// The decoding rules read plainly: symbols skip white space silently and foreign bytes with a
// note; whole groups give three bytes, a padded group one or two and ends the decoding, any
// other group ends it without output.
int32_t reference_decode(const std::uint8_t *in, std::size_t size, std::vector<std::uint8_t> *out) {
    bool foreign = false;
    std::size_t at = 0;
    auto next = [&]() -> int32_t {
        while (at < size) {
            const std::uint8_t c = in[at++];
            if (base64idx[c] != 0xFF) return base64idx[c];
            if (c == '=') return kPad;
            if (c != '\r' && c != '\n' && c != ' ' && c != '\t') foreign = true;
        }
        return kMissing;
    };
    while (at < size) {
        int32_t s[4];
        for (int32_t &symbol : s) symbol = next();
        const std::uint32_t bits = static_cast<std::uint32_t>(s[0] & 63) << 18 | static_cast<std::uint32_t>(s[1] & 63) << 12 |
                                   static_cast<std::uint32_t>(s[2] & 63) << 6 | static_cast<std::uint32_t>(s[3] & 63);
        const bool two = s[0] < kPad && s[1] < kPad;
        if (two && s[2] < kPad && s[3] < kPad) {
            out->push_back(static_cast<std::uint8_t>(bits >> 16));
            out->push_back(static_cast<std::uint8_t>(bits >> 8));
            out->push_back(static_cast<std::uint8_t>(bits));
            continue;
        }
        if (two && s[2] < kPad && s[3] == kPad) {
            out->push_back(static_cast<std::uint8_t>(bits >> 16));
            out->push_back(static_cast<std::uint8_t>(bits >> 8));
        } else if (two && s[2] == kPad && s[3] == kPad) {
            out->push_back(static_cast<std::uint8_t>(bits >> 16));
        }
        break;
    }
    return foreign ? -1 : 0;
}

// A heap buffer of exactly `size` bytes (at least one, so that its address is valid), so that the
// sanitizer sees a write one past it.
std::unique_ptr<std::uint8_t[]> exact_buffer(std::size_t size) {
    auto buffer = std::make_unique<std::uint8_t[]>(size == 0 ? 1 : size);
    memset(buffer.get(), 0xA5, size == 0 ? 1 : size);
    return buffer;
}

std::vector<std::uint8_t> decode(const std::uint8_t *text, std::size_t size, int32_t *answer) {
    const std::size_t capacity = size / 4 * 3 + 4;
    auto buffer = exact_buffer(capacity);
    int32_t length = -1;
    *answer = decode_base64(reinterpret_cast<const char *>(text), static_cast<int32_t>(size), buffer.get(),
                            static_cast<int32_t>(capacity), &length);
    if (length < 0 || static_cast<std::size_t>(length) > capacity) fail("decode_base64 reported %d bytes", length);
    return std::vector<std::uint8_t>(buffer.get(), buffer.get() + length);
}

void round_trip(const std::uint8_t *data, std::size_t size, bool line_breaks) {
    const std::size_t characters = 4 * ((size + 2) / 3);
    const std::size_t required = line_breaks ? characters + characters / 76 + 2 : characters;
    if (required > 1) {
        auto short_buffer = exact_buffer(required - 1);
        int32_t length = -7;
        if (encode_base64(data, static_cast<int32_t>(size), reinterpret_cast<char *>(short_buffer.get()),
                          static_cast<int32_t>(required - 1), &length, line_breaks) != -1) {
            fail("encode_base64 accepted a capacity one short");
        }
        for (std::size_t i = 0; i < required - 1; ++i) {
            if (short_buffer[i] != 0xA5) fail("encode_base64 wrote into a buffer it refused");
        }
    }
    auto buffer = exact_buffer(required);
    int32_t length = -1;
    if (encode_base64(data, static_cast<int32_t>(size), reinterpret_cast<char *>(buffer.get()), static_cast<int32_t>(required),
                      &length, line_breaks) != 0) {
        fail("encode_base64 refused its exact capacity");
    }
    // A line feed after every 19 whole groups (76 characters), and one that ends the text.
    const std::size_t expected = line_breaks ? characters + size / 3 / 19 + 1 : characters;
    if (static_cast<std::size_t>(length) != expected) fail("encode_base64 wrote %d characters, not %zu", length, expected);
    if (line_breaks && buffer[static_cast<std::size_t>(length)] != '\0') fail("the line-broken form is not terminated");
    int32_t answer = 0;
    const std::vector<std::uint8_t> back = decode(buffer.get(), static_cast<std::size_t>(length), &answer);
    if (answer != 0) fail("decode_base64 found foreign bytes in an encoding");
    if (back != std::vector<std::uint8_t>(data, data + size)) fail("Base64 round trip changed the bytes");
}

// The decode translator: an ASCII text arrives unchanged; with a US-ASCII host, any other text
// can only arrive as the Base64 form of its bytes (or not at all).
void translator_fallback(const std::uint8_t *data, std::size_t size, bool ascii_host) {
    HostPool *pool = qorfuzz::program_pool();
    const long blocks_before = qorfuzz::live_blocks(pool);
    auto *input = static_cast<std::uint8_t *>(pool->allocate(pool, static_cast<int32_t>(size + 1), 6));
    if (input == nullptr) fail("no memory for the translator's input");
    if (size != 0) memcpy(input, data, size);
    const std::vector<std::uint8_t> text(data, data + size);
    const bool ascii = std::all_of(text.begin(), text.end(), [](std::uint8_t c) { return c < 0x80; });
    std::uint8_t *buffer = input;
    int32_t length = static_cast<int32_t>(size);
    if (decode_proc(pool, &buffer, &length, 1) == 0) {
        if (buffer == nullptr || length < 0) fail("decode_proc answered 0 without output");
        const std::vector<std::uint8_t> output(buffer, buffer + length);
        if (ascii && output != text) fail("decode_proc changed an ASCII text");
        if (!ascii && ascii_host) {
            int32_t answer = 0;
            if (decode(output.data(), output.size(), &answer) != text || answer != 0) {
                fail("decode_proc's fallback is not the Base64 form of the text");
            }
        }
        pool->release(pool, buffer, 0, 6);
    } else if (buffer != nullptr) {
        fail("decode_proc answered 1 and left a buffer");
    } else if (ascii) {
        fail("decode_proc refused an ASCII text");
    }
    if (qorfuzz::live_blocks(pool) != blocks_before) fail("decode_proc left blocks in the pool");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qorfuzz::start_runtime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    const bool ascii_host = (data[0] & 0x01) != 0;
    ++data;
    --size;

    round_trip(data, size, false);
    round_trip(data, size, true);

    int32_t answer = 0;
    const std::vector<std::uint8_t> decoded = decode(data, size, &answer);
    std::vector<std::uint8_t> expected;
    const int32_t expected_answer = reference_decode(data, size, &expected);
    if (decoded != expected || answer != expected_answer) fail("decode_base64 disagrees with the decoding rules");

    qorhost_set_encoding(ascii_host ? 4 : 1);
    translator_fallback(data, size, ascii_host);
    qorhost_set_encoding(20);
    return 0;
}
