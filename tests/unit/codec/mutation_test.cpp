// Damaged input: every single-byte change and every truncation of a real message, read with the
// formats the client uses. Under the sanitizers this shows that no read leaves the message's
// bytes; everywhere it shows that a refused read leaves nothing allocated.
#include <functional>

#include "codec_fixture.h"

namespace codectest {
namespace {

using qortest::hex;

// A search entry (DN "o=x"; cn: a, bb; mail: m) inside its message, id 2.
const char kMessage[] =
    "30 28 02 01 02 64 23 04 03 6f 3d 78 30 1c"
    " 30 0d 04 02 63 6e 31 07 04 01 61 04 02 62 62"
    " 30 0b 04 04 6d 61 69 6c 31 03 04 01 6d";

class DamagedInput : public CodecTest {
protected:
    // Reads `bytes` the ways the reader and the entry accessors do, releasing every result;
    // answers how many of the reads succeeded.
    int read_every_way(const Bytes &bytes) {
        int succeeded = 0;
        BerElement *ber = reader(bytes);
        if (ber == nullptr) return -1;
        uint32_t length = 0;
        int32_t id = 0;
        succeeded += bersktg(ber, &length) != -1;
        succeeded += bergint(ber, &id) != -1;
        succeeded += berpktg(ber, &length) != -1;

        BerElement copy = *ber;
        char *dn = nullptr;
        if (berscan(&copy, "{a", &dn) != -1) {
            release(dn);
            ++succeeded;
        }

        copy = *ber;
        char type[100];
        int32_t size = sizeof type;
        for (int32_t tag = berscan(&copy, "{x{{sx}", type, &size); tag != -1; tag = berscan(&copy, "{sx}", type, &size)) {
            size = sizeof type;
            ++succeeded;
        }

        copy = *ber;
        size = sizeof type;
        if (berscan(&copy, "{x{{s", type, &size) != -1) {
            ++succeeded;
            char **values = nullptr;
            berval **bervals = nullptr;
            BerElement again = copy;
            if (berscan(&copy, "[v]", &values) != -1) {
                ++succeeded;
                release_texts(values);
            }
            if (berscan(&again, "[V]", &bervals) != -1) {
                ++succeeded;
                release_values(bervals);
            }
        }

        copy = *ber;
        int32_t code = 0;
        char *matched = nullptr;
        char *text = nullptr;
        if (berscan(&copy, "{iaa}", &code, &matched, &text) != -1) {
            release(matched);
            release(text);
            ++succeeded;
        }
        berfree(ber, 1);
        return succeeded;
    }
};

TEST_F(DamagedInput, TheUndamagedMessageReadsEveryWay) {
    // Header, id, tag, DN, two attributes walked, first attribute found, its values both ways;
    // only "{iaa}" fails, as an entry is no result.
    EXPECT_EQ(read_every_way(hex(kMessage)), 9);
    EXPECT_EQ(live_blocks(), 0);
}

TEST_F(DamagedInput, EveryByteChanged) {
    const Bytes original = hex(kMessage);
    for (size_t at = 0; at < original.size(); ++at) {
        for (int value : {0x00, 0x01, 0x7f, 0x80, 0x81, 0x84, 0x85, 0xff, original[at] + 1, original[at] - 1}) {
            Bytes damaged = original;
            damaged[at] = static_cast<uint8_t>(value);
            SCOPED_TRACE(testing::Message() << "byte " << at << " = " << value);
            read_every_way(damaged);
            ASSERT_EQ(live_blocks(), 0);
        }
    }
}

TEST_F(DamagedInput, EveryTruncation) {
    const Bytes original = hex(kMessage);
    for (size_t size = 0; size <= original.size(); ++size) {
        SCOPED_TRACE(testing::Message() << "first " << size << " bytes");
        read_every_way(Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(size)));
        ASSERT_EQ(live_blocks(), 0);
    }
}

}  // namespace
}  // namespace codectest
