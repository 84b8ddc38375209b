// Writing: berprnt's format items and berwrte's raw bytes.
//
// Every element is written with the shortest definite length. A constructed element is opened
// before its contents are known: its header gets a fixed five-octet length area, whose first
// octet remembers how it was opened ('{' or '[') and whose other four hold the previous value of
// be_open_chain. be_open_chain is the offset of the innermost open length area plus one (0: none
// open), so the open elements form a chain through the buffer itself and survive growth and
// copies. Closing an element writes its real length and moves its contents down over the unused
// octets of the area: each close costs the size of its contents, so a message costs its size
// times its nesting depth.
#include <cstdarg>
#include <cstring>

#include "ber_header.h"
#include "codec.h"
#include "memory.h"
#include "translate.h"

namespace qor::codec {

namespace {

constexpr size_t kLengthArea = kMaxLengthOctets;
constexpr size_t kFirstCapacity = 256;

// Grows the buffer, doubling through the pool, until `extra` more bytes fit at be_pos.
bool grow(BerElement *ber, size_t extra) {
    size_t used = static_cast<size_t>(ber->be_pos - ber->be_start);
    if (extra > kMaxBlock - used) return false;
    size_t needed = used + extra;
    size_t capacity = static_cast<size_t>(ber->be_end - ber->be_start);
    capacity = capacity < kFirstCapacity ? kFirstCapacity : capacity;
    while (capacity < needed) capacity = capacity > kMaxBlock / 2 ? kMaxBlock : capacity * 2;
    auto *grown = static_cast<uint8_t *>(allocate(ber->be_pool, capacity));
    if (grown == nullptr) return false;
    if (used != 0) memcpy(grown, ber->be_start, used);
    release(ber->be_pool, ber->be_start, BlockKind::kBuffer);
    ber->be_start = grown;
    ber->be_pos = grown + used;
    ber->be_end = grown + capacity;
    return true;
}

// Room for `extra` more bytes at be_pos.
inline bool reserve(BerElement *ber, size_t extra) {
    if (ber->be_start != nullptr && static_cast<size_t>(ber->be_end - ber->be_pos) >= extra) return true;
    return grow(ber, extra);
}

// Appends bytes for which reserve() has made room.
void append(BerElement *ber, const void *bytes, size_t count) {
    if (count == 0) return;
    memcpy(ber->be_pos, bytes, count);
    ber->be_pos += count;
}

// The identifier and length octets are encoded in place: room for the longest header is
// reserved with the contents.
bool put_primitive(BerElement *ber, uint32_t tag, const uint8_t *contents, uint32_t length) {
    if (!reserve(ber, kMaxHeaderOctets + length)) return false;
    ber->be_pos += encode_tag(tag, ber->be_pos);
    ber->be_pos += encode_length(length, ber->be_pos);
    append(ber, contents, length);
    return true;
}

// Two's complement, big-endian, no redundant leading octet.
bool put_integer(BerElement *ber, uint32_t tag, int32_t value) {
    uint8_t octets[4];
    uint32_t bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) octets[i] = static_cast<uint8_t>(bits >> (24 - 8 * i));
    uint32_t skip = 0;
    while (skip < 3 && ((octets[skip] == 0x00 && (octets[skip + 1] & 0x80) == 0) ||
                        (octets[skip] == 0xFF && (octets[skip + 1] & 0x80) != 0))) {
        ++skip;
    }
    return put_primitive(ber, tag, octets + skip, 4 - skip);
}

// An OCTET STRING, through the element's encode translator when it has one.
bool put_string(BerElement *ber, uint32_t tag, const uint8_t *bytes, size_t length) {
    if (length > kMaxBlock) return false;
    if (ber->be_encode == nullptr) return put_primitive(ber, tag, bytes, static_cast<uint32_t>(length));
    Translated translated;
    if (!translate(ber->be_pool, ber->be_encode, bytes, static_cast<uint32_t>(length), &translated)) return false;
    bool written = put_primitive(ber, tag, translated.bytes, translated.length);
    release(ber->be_pool, translated.bytes, BlockKind::kBuffer);
    return written;
}

bool put_text(BerElement *ber, uint32_t tag, const char *text) {
    // A missing text is written as the empty string.
    if (text == nullptr) text = "";
    return put_string(ber, tag, reinterpret_cast<const uint8_t *>(text), text_length(text));
}

bool put_texts(BerElement *ber, uint32_t tag, char *const *texts) {
    for (; texts != nullptr && *texts != nullptr; ++texts) {
        if (!put_text(ber, tag, *texts)) return false;
    }
    return true;
}

bool put_bervals(BerElement *ber, uint32_t tag, berval *const *values) {
    for (; values != nullptr && *values != nullptr; ++values) {
        const berval *value = *values;
        if (value->bv_len < 0 || (value->bv_len > 0 && value->bv_val == nullptr)) return false;
        if (!put_string(ber, tag, reinterpret_cast<const uint8_t *>(value->bv_val),
                        static_cast<size_t>(value->bv_len))) {
            return false;
        }
    }
    return true;
}

// Opens a constructed element; `kind` is the format character that opened it.
bool open_constructed(BerElement *ber, uint32_t tag, char kind) {
    if (!reserve(ber, kMaxTagOctets + kLengthArea)) return false;
    ber->be_pos += encode_tag(tag, ber->be_pos);
    uint8_t *area = ber->be_pos;
    area[0] = static_cast<uint8_t>(kind);
    memcpy(area + 1, &ber->be_open_chain, sizeof ber->be_open_chain);
    ber->be_pos += kLengthArea;
    ber->be_open_chain = static_cast<uint32_t>(area - ber->be_start) + 1;
    return true;
}

// Closes the innermost open element, which must have been opened with `opener`.
bool close_constructed(BerElement *ber, char opener) {
    if (ber->be_open_chain == 0) return false;
    uint8_t *area = ber->be_start + (ber->be_open_chain - 1);
    if (area[0] != static_cast<uint8_t>(opener)) return false;
    uint32_t outer;
    memcpy(&outer, area + 1, sizeof outer);
    uint8_t *contents = area + kLengthArea;
    size_t length = static_cast<size_t>(ber->be_pos - contents);  // below kMaxBlock
    size_t used = encode_length(static_cast<uint32_t>(length), area);
    move_down(area + used, contents, length);
    ber->be_pos -= kLengthArea - used;
    ber->be_open_chain = outer;
    return true;
}

// One berprnt item; `tag` is the override given by a preceding 't', or 0 for the default.
bool print_item(BerElement *ber, char code, bool overridden, uint32_t tag, va_list *args) {
    auto chosen = [&](uint32_t standard) { return overridden ? tag : standard; };
    switch (code) {
    case '{': return open_constructed(ber, chosen(kTagSequence), '{');
    case '[': return open_constructed(ber, chosen(kTagSet), '[');
    case 'i': return put_integer(ber, chosen(kTagInteger), va_arg(*args, int32_t));
    case 'e': return put_integer(ber, chosen(kTagEnumerated), va_arg(*args, int32_t));
    case 'b': {
        uint8_t truth = va_arg(*args, int32_t) != 0 ? 0xFF : 0x00;
        return put_primitive(ber, chosen(kTagBoolean), &truth, 1);
    }
    case 'n': return put_primitive(ber, chosen(kTagNull), nullptr, 0);
    case 's': return put_text(ber, chosen(kTagOctetString), va_arg(*args, const char *));
    case 'v': return put_texts(ber, chosen(kTagOctetString), va_arg(*args, char *const *));
    case 'V': return put_bervals(ber, chosen(kTagOctetString), va_arg(*args, berval *const *));
    default: return false;
    }
}

bool print_items(BerElement *ber, const char *format, va_list *args) {
    bool overridden = false;
    uint32_t tag = 0;
    for (const char *at = format; *at != '\0'; ++at) {
        char code = *at;
        if (code == 't') {
            if (overridden) return false;  // two tags for one item
            overridden = true;
            tag = va_arg(*args, uint32_t);
            continue;
        }
        if (code == '}' || code == ']') {
            if (overridden || !close_constructed(ber, code == '}' ? '{' : '[')) return false;
            continue;
        }
        if (!print_item(ber, code, overridden, tag, args)) return false;
        overridden = false;
    }
    return !overridden;  // a tag must be followed by its item
}

}  // namespace

int32_t print(BerElement *ber, const char *format, ...) {
    if (ber == nullptr || format == nullptr || (ber->be_state & kWriteFailed) != 0) return -1;
    va_list args;
    va_start(args, format);
    bool written = print_items(ber, format, &args);
    va_end(args);
    if (written) return 0;
    ber->be_state |= kWriteFailed;
    return -1;
}

int32_t write_bytes(BerElement *ber, const void *bytes, int32_t count, int32_t) {
    if (ber == nullptr || (ber->be_state & kWriteFailed) != 0) return -1;
    if (count < 0 || (count > 0 && bytes == nullptr) || !reserve(ber, static_cast<size_t>(count))) {
        ber->be_state |= kWriteFailed;
        return -1;
    }
    append(ber, bytes, static_cast<size_t>(count));
    return count;
}

}  // namespace qor::codec
