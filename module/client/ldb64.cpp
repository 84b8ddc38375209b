// Base64 encoder and decoder. Both are table-driven: the encoder turns each 12-bit half of a
// three-byte group into two characters with one lookup, the decoder turns four characters into
// three bytes with four lookups whose results are simply or-ed together, and leaves the table
// loop only for groups that hold padding, white space or foreign bytes.
#include <cstddef>

#include "ldb64.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the character-pair table is laid out for little-endian stores");

constexpr char base64tab[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// clang-format off
constexpr uint8_t base64idx[256] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x3E, 0xFF, 0xFF, 0xFF, 0x3F,
    0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E,
    0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x32, 0x33, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
};
// clang-format on

namespace {

constexpr uint8_t kNotInAlphabet = 0xFF;
constexpr int kGroupsPerLine = 19;  // 19 groups of four characters make a 76-character line

// Two characters for every 12-bit value, as the little-endian 16-bit word that stores them.
struct PairTable {
    uint16_t pair[4096];
};

constexpr PairTable make_pair_table() {
    PairTable table{};
    for (int value = 0; value < 4096; ++value) {
        table.pair[value] = static_cast<uint16_t>(static_cast<uint8_t>(base64tab[value >> 6]) |
                                                  static_cast<uint8_t>(base64tab[value & 63]) << 8);
    }
    return table;
}

constexpr PairTable kPairs = make_pair_table();

// For each place in a group of four characters, the character's six bits already shifted to
// where they stand in the word whose low three bytes are the group's output bytes, in order. A byte outside the
// alphabet gives kBadPlace, which no sum of valid places reaches.
constexpr uint32_t kBadPlace = 0x01000000;

struct PlaceTables {
    uint32_t place[4][256];
};

constexpr PlaceTables make_place_tables() {
    PlaceTables tables{};
    for (int c = 0; c < 256; ++c) {
        const uint32_t v = base64idx[c];
        if (v == kNotInAlphabet) {
            for (auto &place : tables.place) {
                place[c] = kBadPlace;
            }
            continue;
        }
        tables.place[0][c] = v << 2;                         // byte 0, bits 7-2
        tables.place[1][c] = (v >> 4) | (v & 15) << 12;      // byte 0 bits 1-0, byte 1 bits 7-4
        tables.place[2][c] = (v >> 2) << 8 | (v & 3) << 22;  // byte 1 bits 3-0, byte 2 bits 7-6
        tables.place[3][c] = v << 16;                        // byte 2, bits 5-0
    }
    return tables;
}

constexpr PlaceTables kPlaces = make_place_tables();

// Encodes `groups` whole three-byte groups; answers the position after the characters.
inline char *encode_groups(const uint8_t *in, uint32_t groups, char *out) {
    for (; groups != 0; --groups, in += 3, out += 4) {
        const uint32_t bits = static_cast<uint32_t>(in[0]) << 16 | in[1] << 8 | in[2];
        const uint32_t word = kPairs.pair[bits >> 12] | static_cast<uint32_t>(kPairs.pair[bits & 0xFFF]) << 16;
        __builtin_memcpy(out, &word, 4);
    }
    return out;
}

// What a symbol read by the decoder's careful path can be besides a 6-bit value.
constexpr int32_t kPadSymbol = 64;
constexpr int32_t kMissingSymbol = 65;

// Reads the next symbol: an alphabet character's value or padding, skipping white space
// silently and any other byte with a note in *foreign. At the end of the input: missing.
int32_t next_symbol(const uint8_t *&in, const uint8_t *end, bool *foreign) {
    while (in < end) {
        const uint8_t c = *in++;
        const uint8_t value = base64idx[c];
        if (value != kNotInAlphabet) {
            return value;
        }
        if (c == '=') {
            return kPadSymbol;
        }
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t') {
            *foreign = true;
        }
    }
    return kMissingSymbol;
}

}  // namespace

int32_t encode_base64(const void *source, int32_t length, char *destination, int32_t capacity, int32_t *output_length,
                      int32_t line_breaks) {
    if (source == nullptr || destination == nullptr || output_length == nullptr || length < 0 || capacity < 0) {
        return -1;
    }
    // Unsigned 32-bit arithmetic holds every size here for any non-negative 32-bit length.
    const auto count = static_cast<uint32_t>(length);
    const uint32_t characters = 4 * ((count + 2) / 3);
    const uint32_t required = line_breaks != 0 ? characters + characters / 76 + 2 : characters;
    if (static_cast<uint32_t>(capacity) < required) {
        return -1;
    }

    const auto *in = static_cast<const uint8_t *>(source);
    char *out = destination;
    // A line's worth of groups at a time, also without line breaks: a fixed group count makes
    // the inner loop one the compiler unrolls.
    uint32_t groups = count / 3;
    for (; groups >= kGroupsPerLine; groups -= kGroupsPerLine, in += 3 * kGroupsPerLine) {
        out = encode_groups(in, kGroupsPerLine, out);
        if (line_breaks != 0) {
            *out++ = '\n';
        }
    }
    out = encode_groups(in, groups, out);
    in += 3 * groups;

    switch (count % 3) {
    case 1:
        out[0] = base64tab[in[0] >> 2];
        out[1] = base64tab[(in[0] & 3) << 4];
        out[2] = '=';
        out[3] = '=';
        out += 4;
        break;
    case 2:
        out[0] = base64tab[in[0] >> 2];
        out[1] = base64tab[(in[0] & 3) << 4 | in[1] >> 4];
        out[2] = base64tab[(in[1] & 15) << 2];
        out[3] = '=';
        out += 4;
        break;
    default: break;
    }
    if (line_breaks != 0) {
        *out++ = '\n';
        *out = '\0';
    }
    *output_length = static_cast<int32_t>(out - destination);
    return 0;
}

int32_t decode_base64(const char *source, int32_t length, void *destination, int32_t capacity, int32_t *output_length) {
    if (source == nullptr || destination == nullptr || output_length == nullptr || length < 0 || capacity < 0 ||
        static_cast<uint32_t>(capacity) < static_cast<uint32_t>(length / 4) * 3 + 4) {
        return -1;
    }
    const auto *in = reinterpret_cast<const uint8_t *>(source);
    const uint8_t *const end = in + length;
    auto *out = static_cast<uint8_t *>(destination);
    bool foreign = false;

    while (in < end) {
        // Groups of four alphabet characters.
        while (end - in >= 4) {
            const uint32_t word =
                kPlaces.place[0][in[0]] | kPlaces.place[1][in[1]] | kPlaces.place[2][in[2]] | kPlaces.place[3][in[3]];
            if (word >= kBadPlace) {
                break;
            }
            out[0] = static_cast<uint8_t>(word);
            out[1] = static_cast<uint8_t>(word >> 8);
            out[2] = static_cast<uint8_t>(word >> 16);
            out += 3;
            in += 4;
        }
        if (in == end) {
            break;
        }

        // A group with padding, white space or foreign bytes, or the short end of the input.
        int32_t symbol[4];
        for (auto &s : symbol) {
            s = next_symbol(in, end, &foreign);
        }
        const bool two = symbol[0] < kPadSymbol && symbol[1] < kPadSymbol;
        const uint32_t bits =
            static_cast<uint32_t>(symbol[0]) << 18 | symbol[1] << 12 | (symbol[2] & 63) << 6 | (symbol[3] & 63);
        if (two && symbol[2] < kPadSymbol && symbol[3] < kPadSymbol) {
            out[0] = static_cast<uint8_t>(bits >> 16);
            out[1] = static_cast<uint8_t>(bits >> 8);
            out[2] = static_cast<uint8_t>(bits);
            out += 3;
            continue;
        }
        if (two && symbol[2] < kPadSymbol && symbol[3] == kPadSymbol) {
            out[0] = static_cast<uint8_t>(bits >> 16);
            out[1] = static_cast<uint8_t>(bits >> 8);
            out += 2;
        } else if (two && symbol[2] == kPadSymbol && symbol[3] == kPadSymbol) {
            out[0] = static_cast<uint8_t>(bits >> 16);
            out += 1;
        }
        break;  // padding, or a group that cannot be completed, ends the decoding
    }

    *output_length = static_cast<int32_t>(out - static_cast<uint8_t *>(destination));
    return foreign ? -1 : 0;
}
