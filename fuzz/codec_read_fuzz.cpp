// Codec reading: arbitrary bytes as an element, read with every format and single-item read the
// protocol client uses, from the element's start and from where a received message stands (after
// its outer tag and message id). Checks the codec's reading contract on every read:
//   - nothing is read outside the element (the sanitizers watch the exact-size blocks);
//   - a failed scan puts the read state back and nulls the destinations it had filled;
//   - texts are NUL-terminated, and 's' never reports more than its capacity allows;
//   - once the results are released, the pool holds no more blocks than before.
// The first input byte chooses the string translators (none, expanding, refusing some texts) and
// the capacity of 's'; the second arms allocation failures; the rest is the element.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "abi/ber_records.h"
#include "fuzz/support/runtime.h"
#include "module/host/services.h"

namespace {

using qorfuzz::fail;

HostPool *pool() { return qorfuzz::program_pool(); }

void release(void *block) {
    if (block != nullptr) pool()->release(pool(), block, 0, 4);
}

// A translator that doubles every byte: strings grow on the way through.
int32_t expanding(HostPool *p, uint8_t **buffer, int32_t *length, int32_t free_input) {
    auto *out = static_cast<uint8_t *>(p->allocate(p, 2 * *length + 1, 6));
    if (out != nullptr) {
        for (int32_t i = 0; i < *length; ++i) out[2 * i] = out[2 * i + 1] = (*buffer)[i];
    }
    if (free_input != 0) p->release(p, *buffer, 0, 6);
    *buffer = out;
    if (out == nullptr) return 1;
    *length *= 2;
    return 0;
}

// A translator that refuses texts starting with 0xFF and passes the others on as they are.
int32_t refusing(HostPool *p, uint8_t **buffer, int32_t *length, int32_t free_input) {
    if (*length > 0 && (*buffer)[0] == 0xFF) {
        if (free_input != 0) p->release(p, *buffer, 0, 6);
        *buffer = nullptr;
        return 1;
    }
    return 0;
}

struct Options {
    StringTranslator decode;
    int32_t capacity;   // of the buffer for 's'
};

// The read state a failed scan must leave as it found it.
struct ReadState {
    uint8_t *pos;
    uint8_t depth;
    uint32_t ends[4];
};

ReadState state_of(const BerElement &ber) {
    ReadState state{ber.be_pos, ber.be_depth, {}};
    memcpy(state.ends, ber.be_open_ends, sizeof state.ends);
    return state;
}

void check_bounds(const BerElement &ber, const char *what) {
    if (ber.be_pos < ber.be_start || ber.be_pos > ber.be_end) fail("%s moved the position outside the element", what);
}

void check_outcome(const BerElement &ber, int32_t result, const ReadState &before, const char *what) {
    check_bounds(ber, what);
    if (result != -1) return;
    const ReadState after = state_of(ber);
    if (after.pos != before.pos || after.depth != before.depth ||
        (after.depth != 0 && memcmp(after.ends, before.ends, sizeof after.ends) != 0)) {
        fail("a failed berscan \"%s\" did not put the read state back", what);
    }
}

// A text handed out must end within its block (the sanitizer checks the walk).
void check_text(const char *text, const char *what) {
    if (text == nullptr) fail("%s handed out a null text", what);
    size_t length = strlen(text);
    (void)length;
}

void check_buffer(const char *buffer, int32_t length, int32_t capacity, const char *what) {
    if (length < 0 || length >= capacity) fail("%s reported length %d for capacity %d", what, length, capacity);
    if (buffer[length] != '\0') fail("%s did not terminate its text", what);
}

void release_texts(char **texts) {
    if (texts == nullptr) return;
    for (char **at = texts; *at != nullptr; ++at) release(*at);
    release(texts);
}

void release_bervals(berval **values) {
    if (values == nullptr) return;
    for (berval **at = values; *at != nullptr; ++at) {
        if ((*at)->bv_len < 0) fail("'V' handed out a negative length");
        check_text((*at)->bv_val, "'V'");
        release((*at)->bv_val);
        release(*at);
    }
    release(values);
}

void scan_result_and_error(BerElement ber) {
    int32_t code = 0;
    char *matched = reinterpret_cast<char *>(1);
    char *text = reinterpret_cast<char *>(1);
    ReadState before = state_of(ber);
    int32_t result = berscan(&ber, "{iaa}", &code, &matched, &text);
    check_outcome(ber, result, before, "{iaa}");
    if (result == -1) {
        if (matched != nullptr && matched != reinterpret_cast<char *>(1)) fail("{iaa} left a matched DN behind");
        if (text != nullptr && text != reinterpret_cast<char *>(1)) fail("{iaa} left an error text behind");
        return;
    }
    check_text(matched, "{iaa}");
    check_text(text, "{iaa}");
    release(matched);
    release(text);
}

void scan_version_one_result(BerElement ber) {
    int32_t code = 0;
    char *text = nullptr;
    ReadState before = state_of(ber);
    int32_t result = berscan(&ber, "{ia}", &code, &text);
    check_outcome(ber, result, before, "{ia}");
    if (result == -1) {
        if (text != nullptr) fail("{ia} left a text behind");
        return;
    }
    check_text(text, "{ia}");
    release(text);
}

void scan_dn(BerElement ber, const char *format) {
    char *dn = nullptr;
    int32_t id = 0;
    ReadState before = state_of(ber);
    int32_t result = format[1] == 'i' ? berscan(&ber, format, &id, &dn) : berscan(&ber, format, &dn);
    check_outcome(ber, result, before, format);
    if (result == -1) {
        if (dn != nullptr) fail("%s left a text behind", format);
        return;
    }
    check_text(dn, format);
    release(dn);
}

// The attribute walk of the entry accessors: "{x{{sx}" once, then "{sx}" on the same element.
void walk_attributes(BerElement ber, int32_t capacity) {
    char type[256];
    int32_t length = capacity;
    ReadState before = state_of(ber);
    int32_t result = berscan(&ber, "{x{{sx}", type, &length);
    check_outcome(ber, result, before, "{x{{sx}");
    for (int steps = 0; result != -1 && steps < 10000; ++steps) {
        check_buffer(type, length, capacity, "attribute walk");
        length = capacity;
        before = state_of(ber);
        result = berscan(&ber, "{sx}", type, &length);
        check_outcome(ber, result, before, "{sx}");
    }
}

// "[v]" and "[V]" from the same position.
void read_values(BerElement ber) {
    BerElement copy = ber;
    char **texts = reinterpret_cast<char **>(1);
    ReadState before = state_of(ber);
    int32_t result = berscan(&ber, "[v]", &texts);
    check_outcome(ber, result, before, "[v]");
    if (result == -1 && texts != nullptr && texts != reinterpret_cast<char **>(1)) fail("[v] left values behind");
    if (result != -1) {
        for (char **at = texts; *at != nullptr; ++at) check_text(*at, "[v]");
        release_texts(texts);
    }
    berval **values = reinterpret_cast<berval **>(1);
    before = state_of(copy);
    result = berscan(&copy, "[V]", &values);
    check_outcome(copy, result, before, "[V]");
    if (result == -1 && values != nullptr && values != reinterpret_cast<berval **>(1)) fail("[V] left values behind");
    if (result != -1) release_bervals(values);
}

// The value lookup of the entry accessors: "{x{{s" then "x}{s" until the type is found, then the
// values.
void find_and_read_values(BerElement ber, int32_t capacity) {
    char type[256];
    int32_t length = capacity;
    ReadState before = state_of(ber);
    int32_t result = berscan(&ber, "{x{{s", type, &length);
    check_outcome(ber, result, before, "{x{{s");
    for (int steps = 0; result != -1 && steps < 10000; ++steps) {
        check_buffer(type, length, capacity, "{x{{s / x}{s");
        read_values(ber);
        length = capacity;
        before = state_of(ber);
        result = berscan(&ber, "x}{s", type, &length);
        check_outcome(ber, result, before, "x}{s");
    }
}

void single_item_reads(const BerElement &origin) {
    BerElement ber = origin;
    int32_t value = 0;
    bergint(&ber, &value);
    check_bounds(ber, "bergint");

    ber = origin;
    char *text = nullptr;
    if (bergstr(&ber, &text) != -1) {
        check_text(text, "bergstr");
        release(text);
    } else if (text != nullptr) {
        fail("a failed bergstr handed out a text");
    }
    check_bounds(ber, "bergstr");

    ber = origin;
    uint32_t length = 0;
    uint8_t *before = ber.be_pos;
    if (berpktg(&ber, &length) != -1 && length > static_cast<uint32_t>(ber.be_end - ber.be_pos)) {
        fail("berpktg reported a length beyond the element");
    }
    if (ber.be_pos != before) fail("berpktg moved the position");

    ber = origin;
    if (bersktg(&ber, &length) != -1 && length > static_cast<uint32_t>(ber.be_end - ber.be_pos)) {
        fail("bersktg reported a length beyond the element");
    }
    check_bounds(ber, "bersktg");

    ber = origin;
    ReadState state = state_of(ber);
    int32_t result = berscan(&ber, "x", nullptr);
    check_outcome(ber, result, state, "x");
}

void read_every_way(const BerElement &origin, const Options &options) {
    scan_result_and_error(origin);
    scan_version_one_result(origin);
    scan_dn(origin, "{a");
    scan_dn(origin, "{i{a");
    walk_attributes(origin, options.capacity);
    find_and_read_values(origin, options.capacity);
    read_values(origin);
    single_item_reads(origin);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qorfuzz::start_runtime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > (1u << 20)) return 0;
    Options options{};
    switch (data[0] & 0x03) {
    case 1: options.decode = expanding; break;
    case 2: options.decode = refusing; break;
    default: options.decode = nullptr; break;
    }
    options.capacity = (data[0] & 0x04) != 0 ? 1 + (data[0] >> 3) : 100;
    const long fail_at = data[1] & 0x3F;
    const bool keep_failing = (data[1] & 0x40) != 0;
    data += 2;
    size -= 2;

    const long blocks_before = qorfuzz::live_blocks(pool());
    BerElement *ber = berallt(pool(), 0);
    if (ber == nullptr) fail("berallt failed");
    if (berwrte(ber, data, static_cast<int32_t>(size), 0) != static_cast<int32_t>(size)) fail("berwrte failed");
    berrest(ber, 1);
    bersstt(ber, nullptr, options.decode);
    {
        qorfuzz::AllocationFaults faults(fail_at, keep_failing);
        read_every_way(*ber, options);

        // Where a received message stands: after the outer tag and the message id.
        BerElement message = *ber;
        uint32_t length = 0;
        int32_t id = 0;
        if (bersktg(&message, &length) != -1 && bergint(&message, &id) != -1) read_every_way(message, options);
    }
    berfree(ber, 1);
    const long blocks_after = qorfuzz::live_blocks(pool());
    if (blocks_after != blocks_before) {
        fail("reading left %ld blocks in the pool", blocks_after - blocks_before);
    }
    return 0;
}
