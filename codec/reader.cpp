// Reading: berscan's format items and the single-item reads (bergint, bergstr, berpktg, bersktg).
//
// Every read stays within the innermost entered element (be_open_ends, offsets from be_start)
// and within be_end. Only '{', '[', '}' and ']' change which elements are entered; every other
// item moves be_pos alone, so that is all a failed item puts back. The entered elements live in
// the element itself, so a scan may stop inside an element and a later scan goes on from there,
// and a by-value copy reads on independently.
// A scan is all or nothing: when an item fails, the element's read state is put back, every
// block the scan allocated is released and the destinations it filled are nulled.
#include <cstdarg>
#include <climits>
#include <cstring>

#include "ber_header.h"
#include "codec.h"
#include "memory.h"
#include "translate.h"

namespace qor::codec {

namespace {

// One element taken from the input: its header and where its contents start.
struct Item {
    Header header;
    const uint8_t *contents;
};

// The read state a failed scan restores.
struct ReadState {
    uint8_t *pos;
    uint8_t depth;
    uint32_t ends[kMaxEnteredDepth];
};

ReadState save_state(const BerElement *ber) {
    ReadState state;
    state.pos = ber->be_pos;
    state.depth = ber->be_depth;
    memcpy(state.ends, ber->be_open_ends, sizeof state.ends);
    return state;
}

void restore_state(BerElement *ber, const ReadState &state) {
    ber->be_pos = state.pos;
    ber->be_depth = state.depth;
    memcpy(ber->be_open_ends, state.ends, sizeof state.ends);
}

// End of what may be read now: the innermost entered element's end, never beyond be_end.
const uint8_t *read_limit(const BerElement *ber) {
    if (ber->be_depth == 0 || ber->be_depth > kMaxEnteredDepth) return ber->be_end;
    const uint8_t *end = ber->be_start + ber->be_open_ends[ber->be_depth - 1];
    return end < ber->be_end ? end : ber->be_end;
}

size_t readable(const BerElement *ber) {
    const uint8_t *limit = read_limit(ber);
    if (ber->be_pos == nullptr || ber->be_pos >= limit) return 0;
    return static_cast<size_t>(limit - ber->be_pos);
}

// The next element's header, checked to lie whole within the read limit. Nothing moves.
bool peek(const BerElement *ber, Item *item) {
    size_t available = readable(ber);
    if (parse_header(ber->be_pos, available, &item->header) != HeaderStatus::kComplete) return false;
    if (item->header.length > available - item->header.size) return false;
    item->contents = ber->be_pos + item->header.size;
    return true;
}

// Takes the next element whole.
bool take(BerElement *ber, Item *item) {
    if (!peek(ber, item)) return false;
    ber->be_pos = const_cast<uint8_t *>(item->contents) + item->header.length;
    return true;
}

bool take_primitive(BerElement *ber, Item *item) {
    uint8_t *const before = ber->be_pos;
    if (!take(ber, item)) return false;
    if (item->header.constructed) {
        ber->be_pos = before;
        return false;
    }
    return true;
}

bool enter(BerElement *ber, uint32_t *tag) {
    Item item;
    if (ber->be_depth >= kMaxEnteredDepth || !peek(ber, &item) || !item.header.constructed) return false;
    const uint8_t *end = item.contents + item.header.length;
    ber->be_open_ends[ber->be_depth++] = static_cast<uint32_t>(end - ber->be_start);
    ber->be_pos = const_cast<uint8_t *>(item.contents);
    *tag = item.header.tag;
    return true;
}

// Leaves the innermost entered element, skipping what was not read of it.
bool leave(BerElement *ber) {
    if (ber->be_depth == 0 || ber->be_depth > kMaxEnteredDepth) return false;
    ber->be_pos = const_cast<uint8_t *>(read_limit(ber));
    ber->be_depth--;
    return true;
}

// Two's complement of one to four octets.
bool read_integer(BerElement *ber, int32_t *value, uint32_t *tag) {
    uint8_t *const before = ber->be_pos;
    Item item;
    if (value == nullptr || !take_primitive(ber, &item)) return false;
    uint32_t length = item.header.length;
    if (length == 0 || length > 4) {
        ber->be_pos = before;
        return false;
    }
    uint32_t bits = (item.contents[0] & 0x80) ? 0xFFFFFFFFu : 0;
    for (uint32_t i = 0; i < length; ++i) bits = (bits << 8) | item.contents[i];
    *value = static_cast<int32_t>(bits);
    *tag = item.header.tag;
    return true;
}

bool read_boolean(BerElement *ber, int32_t *value, uint32_t *tag) {
    uint8_t *const before = ber->be_pos;
    Item item;
    if (value == nullptr || !take_primitive(ber, &item)) return false;
    if (item.header.length != 1) {
        ber->be_pos = before;
        return false;
    }
    *value = item.contents[0] != 0 ? 1 : 0;
    *tag = item.header.tag;
    return true;
}

bool read_null(BerElement *ber, uint32_t *tag) {
    uint8_t *const before = ber->be_pos;
    Item item;
    if (!take_primitive(ber, &item)) return false;
    if (item.header.length != 0) {
        ber->be_pos = before;
        return false;
    }
    *tag = item.header.tag;
    return true;
}

// The string contents of `item` as the caller is to see them: the bytes themselves, or a
// translated pool block (`owned` is then set and must be released as a buffer).
bool decoded(BerElement *ber, const Item &item, Translated *text, bool *owned) {
    *owned = false;
    if (ber->be_decode == nullptr) {
        text->bytes = const_cast<uint8_t *>(item.contents);
        text->length = item.header.length;
        return true;
    }
    if (!translate(ber->be_pool, ber->be_decode, item.contents, item.header.length, text)) return false;
    *owned = true;
    return true;
}

// A new NUL-terminated pool copy of a string item, translated; null when memory fails.
char *new_text(BerElement *ber, const Item &item, uint32_t *length) {
    Translated text;
    bool owned;
    if (!decoded(ber, item, &text, &owned)) return nullptr;
    char *copy = copy_text(ber->be_pool, text.bytes, text.length);
    if (owned) release(ber->be_pool, text.bytes, BlockKind::kBuffer);
    if (copy != nullptr && length != nullptr) *length = text.length;
    return copy;
}

// 'a' and bergstr: the next primitive element as a new text.
bool read_new_text(BerElement *ber, char **out, uint32_t *tag) {
    uint8_t *const before = ber->be_pos;
    Item item;
    if (out == nullptr || !take_primitive(ber, &item)) return false;
    char *text = new_text(ber, item, nullptr);
    if (text == nullptr) {
        ber->be_pos = before;
        return false;
    }
    *out = text;
    *tag = item.header.tag;
    return true;
}

// 's': the next primitive element into the caller's buffer of *length bytes, NUL included.
bool read_into(BerElement *ber, char *buffer, int32_t *length, uint32_t *tag) {
    uint8_t *const before = ber->be_pos;
    Item item;
    if (buffer == nullptr || length == nullptr || !take_primitive(ber, &item)) return false;
    Translated text;
    bool owned;
    if (!decoded(ber, item, &text, &owned)) {
        ber->be_pos = before;
        return false;
    }
    bool fits = *length > 0 && text.length < static_cast<uint32_t>(*length);
    if (fits) {
        if (text.length != 0) memcpy(buffer, text.bytes, text.length);
        buffer[text.length] = '\0';
        *length = static_cast<int32_t>(text.length);
        *tag = item.header.tag;
    } else {
        ber->be_pos = before;
    }
    if (owned) release(ber->be_pool, text.bytes, BlockKind::kBuffer);
    return fits;
}

// Number of elements from be_pos to the read limit, each primitive and whole; -1 otherwise.
int32_t count_primitives(const BerElement *ber) {
    BerElement walker = *ber;
    int32_t count = 0;
    while (readable(&walker) != 0) {
        Item item;
        if (!take_primitive(&walker, &item) || count == INT32_MAX) return -1;
        ++count;
    }
    return count;
}

void release_texts(HostPool *pool, char **texts) {
    if (texts == nullptr) return;
    for (char **at = texts; *at != nullptr; ++at) release(pool, *at, BlockKind::kRecord);
    release(pool, texts, BlockKind::kRecord);
}

void release_bervals(HostPool *pool, berval **values) {
    if (values == nullptr) return;
    for (berval **at = values; *at != nullptr; ++at) {
        release(pool, (*at)->bv_val, BlockKind::kRecord);
        release(pool, *at, BlockKind::kRecord);
    }
    release(pool, values, BlockKind::kRecord);
}

// 'v': every remaining element of the entered element as a new null-terminated array of texts.
bool read_texts(BerElement *ber, char ***out, uint32_t *tag) {
    uint8_t *const before = ber->be_pos;
    int32_t count = out != nullptr ? count_primitives(ber) : -1;
    if (count < 0 || static_cast<size_t>(count) >= kMaxBlock / sizeof(char *)) return false;
    auto **texts = static_cast<char **>(allocate(ber->be_pool, (static_cast<size_t>(count) + 1) * sizeof(char *)));
    if (texts == nullptr) return false;
    for (int32_t i = 0; i < count; ++i) {
        Item item;
        take_primitive(ber, &item);  // counted above: cannot fail
        texts[i] = new_text(ber, item, nullptr);
        if (texts[i] == nullptr) {
            release_texts(ber->be_pool, texts);
            ber->be_pos = before;
            return false;
        }
        *tag = item.header.tag;
    }
    *out = texts;
    return true;
}

// 'V': the same as a new null-terminated array of new bervals (each value NUL-terminated too).
bool read_bervals(BerElement *ber, berval ***out, uint32_t *tag) {
    uint8_t *const before = ber->be_pos;
    int32_t count = out != nullptr ? count_primitives(ber) : -1;
    if (count < 0 || static_cast<size_t>(count) >= kMaxBlock / sizeof(berval *)) return false;
    auto **values = static_cast<berval **>(allocate(ber->be_pool, (static_cast<size_t>(count) + 1) * sizeof(berval *)));
    if (values == nullptr) return false;
    for (int32_t i = 0; i < count; ++i) {
        Item item;
        take_primitive(ber, &item);  // counted above: cannot fail
        auto *value = static_cast<berval *>(allocate(ber->be_pool, sizeof(berval)));
        uint32_t length = 0;
        char *bytes = value != nullptr ? new_text(ber, item, &length) : nullptr;
        if (bytes == nullptr || length > INT32_MAX) {
            release(ber->be_pool, bytes, BlockKind::kRecord);
            release(ber->be_pool, value, BlockKind::kRecord);
            release_bervals(ber->be_pool, values);
            ber->be_pos = before;
            return false;
        }
        value->bv_len = static_cast<int32_t>(length);
        value->bv_val = bytes;
        values[i] = value;
        *tag = item.header.tag;
    }
    *out = values;
    return true;
}

// One berscan item. Allocating items store into their destination only once they succeed.
bool scan_item(BerElement *ber, char code, va_list *args, uint32_t *tag) {
    switch (code) {
    case '{':
    case '[': return enter(ber, tag);
    case '}':
    case ']': return leave(ber);
    case 'i':
    case 'e': return read_integer(ber, va_arg(*args, int32_t *), tag);
    case 'b': return read_boolean(ber, va_arg(*args, int32_t *), tag);
    case 'n': return read_null(ber, tag);
    case 'a': return read_new_text(ber, va_arg(*args, char **), tag);
    case 's': {
        char *buffer = va_arg(*args, char *);
        return read_into(ber, buffer, va_arg(*args, int32_t *), tag);
    }
    case 'x': {
        Item item;
        if (!take(ber, &item)) return false;
        *tag = item.header.tag;
        return true;
    }
    case 'v': return read_texts(ber, va_arg(*args, char ***), tag);
    case 'V': return read_bervals(ber, va_arg(*args, berval ***), tag);
    default: return false;
    }
}

// Releases what the first `completed` items of a failed scan allocated and nulls their
// destinations; `args` is a fresh copy of the scan's arguments.
void undo_items(BerElement *ber, const char *format, size_t completed, va_list *args) {
    for (size_t i = 0; i < completed; ++i) {
        switch (format[i]) {
        case 'i':
        case 'e':
        case 'b': va_arg(*args, int32_t *); break;
        case 's':
            va_arg(*args, char *);
            va_arg(*args, int32_t *);
            break;
        case 'a': {
            char **text = va_arg(*args, char **);
            release(ber->be_pool, *text, BlockKind::kRecord);
            *text = nullptr;
            break;
        }
        case 'v': {
            char ***texts = va_arg(*args, char ***);
            release_texts(ber->be_pool, *texts);
            *texts = nullptr;
            break;
        }
        case 'V': {
            berval ***values = va_arg(*args, berval ***);
            release_bervals(ber->be_pool, *values);
            *values = nullptr;
            break;
        }
        default: break;
        }
    }
}

}  // namespace

int32_t scan(BerElement *ber, const char *format, ...) {
    if (ber == nullptr || format == nullptr) return -1;
    ReadState before = save_state(ber);
    va_list args;
    va_list replay;
    va_start(args, format);
    va_copy(replay, args);
    uint32_t tag = 0;
    size_t completed = 0;
    bool read = true;
    for (; format[completed] != '\0'; ++completed) {
        if (!scan_item(ber, format[completed], &args, &tag)) {
            read = false;
            break;
        }
    }
    if (!read) {
        restore_state(ber, before);
        undo_items(ber, format, completed, &replay);
    }
    va_end(replay);
    va_end(args);
    return read ? static_cast<int32_t>(tag) : -1;
}

int32_t get_int(BerElement *ber, int32_t *value) {
    uint32_t tag;
    if (ber == nullptr || !read_integer(ber, value, &tag)) return -1;
    return static_cast<int32_t>(tag);
}

int32_t get_string(BerElement *ber, char **text) {
    uint32_t tag;
    if (ber == nullptr || !read_new_text(ber, text, &tag)) return -1;
    return static_cast<int32_t>(tag);
}

int32_t peek_tag(BerElement *ber, uint32_t *length) {
    Item item;
    if (ber == nullptr || !peek(ber, &item)) return -1;
    if (length != nullptr) *length = item.header.length;
    return static_cast<int32_t>(item.header.tag);
}

int32_t skip_tag(BerElement *ber, uint32_t *length) {
    Item item;
    if (ber == nullptr || !peek(ber, &item)) return -1;
    ber->be_pos = const_cast<uint8_t *>(item.contents);
    if (length != nullptr) *length = item.header.length;
    return static_cast<int32_t>(item.header.tag);
}

}  // namespace qor::codec
