// A result set built from a search's entry messages, one message at a time as they arrive: every
// entry, its DN, its attributes in the order the server sent them, each value's bytes with a NUL
// after them. The set is independent of the messages, which stay the caller's.
//
// Each entry is one pool block holding the entry record and everything it points to, so an entry
// costs one allocation and one release however many values it has:
//
//   [dsent][dsval x values][dsatt x attributes][de_atts slots][da_vals of each attribute][texts]
//
// The records keep the layout host programs walk. The messages are read in place, element by
// element, and every text goes through the session's decoding translator, as the codec would
// hand it to the client's own accessors; a translator that would hand every text back unchanged
// (the host's encoding is the directory's) is skipped, and the bytes are copied as received.
#include "../client/ldtrans.h"
#include "../host/services.h"
#include "directory.h"

namespace {

constexpr int32_t kInitialAttributeSlots = 20;
constexpr int32_t kInitialEntrySlots = 16;  // a set built without a count starts so and doubles
constexpr uint8_t kConstructed = 0x20;      // bits of an element's identifier octet
constexpr uint8_t kTagNumberMask = 0x1F;    // all set: the tag number follows in more octets
constexpr uint32_t kLongLength = 0x80;      // a length octet with it counts the octets that follow

static_assert(sizeof(dsent) % alignof(dsval) == 0 && sizeof(dsval) % alignof(dsatt) == 0 &&
              sizeof(dsatt) % alignof(dsatt *) == 0 && alignof(dsatt *) == alignof(dsval *));

// The attribute array of an entry with `count` attributes has 20 slots, doubled until a null slot
// follows the last attribute (20, 40, 80 ... attributes double it).
int64_t attribute_slots(int64_t count) {
    int64_t slots = kInitialAttributeSlots;
    while (slots < count + 1) slots *= 2;
    return slots;
}

// One element of a message, read in place: whether it is constructed, and its contents.
struct Element {
    bool constructed;
    const uint8_t *at;
    const uint8_t *end;
    int32_t length() const { return static_cast<int32_t>(end - at); }
};

// Reads the element at *cursor, which must lie whole before `limit`, and moves the cursor past
// it. The headers are read here rather than through the codec, one call per element being most
// of the cost of a large result set: an identifier of one octet (every tag of a search entry is
// one), a definite length of at most four octets, checked against the enclosing element.
inline __attribute__((always_inline)) bool take(const uint8_t **cursor, const uint8_t *limit, Element *element) {
    const uint8_t *at = *cursor;
    if (limit - at < 2 || (at[0] & kTagNumberMask) == kTagNumberMask) return false;
    const bool constructed = (at[0] & kConstructed) != 0;
    uint32_t length = at[1];
    at += 2;
    if ((length & kLongLength) != 0) {
        const uint32_t octets = length & ~kLongLength;
        if (octets == 0 || octets > 4 || static_cast<uint32_t>(limit - at) < octets) return false;
        length = 0;
        for (uint32_t i = 0; i < octets; ++i) length = length << 8 | *at++;
    }
    if (length > static_cast<uint32_t>(limit - at)) return false;
    *element = {constructed, at, at + length};
    *cursor = element->end;
    return true;
}

// Why walking an entry stopped.
enum class Walk { complete, malformed, visitor_failed };

// Walks a search entry message, SearchResultEntry { objectName, attributes SEQUENCE OF
// SEQUENCE { type, vals SET OF value } }, handing `visit` the DN, each attribute's type and each
// value, in order. An entry without an attribute list has no attributes.
template <typename Visitor>
Walk walk_entry(const LDAPMessage *message, Visitor *visit) {
    const BerElement *element = message->lm_ber_elem;
    const uint8_t *cursor = element->be_pos;
    Element entry, dn, list;
    if (cursor == nullptr || cursor > element->be_end || !take(&cursor, element->be_end, &entry) ||
        !entry.constructed) {
        return Walk::malformed;
    }
    cursor = entry.at;
    if (!take(&cursor, entry.end, &dn) || dn.constructed) return Walk::malformed;
    if (!visit->dn(dn)) return Walk::visitor_failed;
    if (cursor == entry.end) return Walk::complete;
    if (!take(&cursor, entry.end, &list) || !list.constructed) return Walk::malformed;
    for (cursor = list.at; cursor < list.end;) {
        Element attribute, type, values;
        if (!take(&cursor, list.end, &attribute) || !attribute.constructed) return Walk::malformed;
        const uint8_t *inner = attribute.at;
        if (!take(&inner, attribute.end, &type) || type.constructed || !take(&inner, attribute.end, &values) ||
            !values.constructed) {
            return Walk::malformed;
        }
        if (!visit->attribute(type)) return Walk::visitor_failed;
        for (inner = values.at; inner < values.end;) {
            Element value;
            if (!take(&inner, values.end, &value) || value.constructed) return Walk::malformed;
            if (!visit->value(value)) return Walk::visitor_failed;
        }
    }
    return Walk::complete;
}

// A text of an element as the host reads it: the element's bytes, or the translator's copy of
// them (`translated`, a buffer of the pool to release). False when the translator gives nothing.
struct Text {
    const uint8_t *bytes = nullptr;
    int32_t length = 0;
    uint8_t *translated = nullptr;

    bool read(HostPool *pool, StringTranslator decode, const Element &element) {
        bytes = element.at;
        length = element.length();
        if (decode == nullptr) return true;
        translated = const_cast<uint8_t *>(element.at);
        if (decode(pool, &translated, &length, 0) != 0 || translated == nullptr || length < 0) {
            translated = nullptr;
            return false;
        }
        bytes = translated;
        return true;
    }
    void release(HostPool *pool) { qor::pool_free_buffer(pool, translated); }
};

// What one entry's block must hold. Measured on the bytes as received (`decode` null), or as the
// translator turns them into the host's text.
struct Measure {
    HostPool *pool;
    StringTranslator decode;
    int64_t attributes = 0;
    int64_t values = 0;
    int64_t text_bytes = 0;

    bool add_text(const Element &element) {
        Text text;
        if (!text.read(pool, decode, element)) return false;
        text_bytes += static_cast<int64_t>(text.length) + 1;
        text.release(pool);
        return true;
    }
    bool dn(const Element &element) { return add_text(element); }
    bool attribute(const Element &type) {
        ++attributes;
        return add_text(type);
    }
    bool value(const Element &value) {
        ++values;
        return add_text(value);
    }

    int64_t records_bytes() const {
        return static_cast<int64_t>(sizeof(dsent)) + values * static_cast<int64_t>(sizeof(dsval)) +
               attributes * static_cast<int64_t>(sizeof(dsatt)) +
               (attribute_slots(attributes) + attributes + values) * static_cast<int64_t>(sizeof(dsatt *));
    }
};

// Why filling an entry's block stopped.
enum class Fill { complete, no_room, untranslatable };

// Lays an entry out in its block, the records first and the texts after them, as the walk goes.
// The block comes zero-filled, so every array already ends in its null slot.
struct Layout {
    HostPool *pool;
    StringTranslator decode;
    dsent *entry;
    dsval *next_value;
    dsatt *next_attribute;
    dsatt **next_slot;
    dsval **next_value_slot;
    char *text;
    char *text_end;
    dsatt *current = nullptr;
    Fill outcome = Fill::complete;

    Layout(HostPool *pool, StringTranslator decode, void *block, const Measure &measure, int64_t size)
        : pool(pool), decode(decode), entry(static_cast<dsent *>(block)) {
        auto *at = reinterpret_cast<char *>(entry + 1);
        next_value = reinterpret_cast<dsval *>(at);
        at += measure.values * static_cast<int64_t>(sizeof(dsval));
        next_attribute = reinterpret_cast<dsatt *>(at);
        at += measure.attributes * static_cast<int64_t>(sizeof(dsatt));
        entry->de_atts = next_slot = reinterpret_cast<dsatt **>(at);
        at += attribute_slots(measure.attributes) * static_cast<int64_t>(sizeof(dsatt *));
        next_value_slot = reinterpret_cast<dsval **>(at);
        text = reinterpret_cast<char *>(next_value_slot + measure.attributes + measure.values);
        text_end = static_cast<char *>(block) + size;
    }

    // A NUL-terminated copy of the element's text in the block; null when it does not fit or
    // cannot be translated (outcome says which).
    char *copy(const Element &element) {
        Text source;
        if (!source.read(pool, decode, element)) {
            outcome = Fill::untranslatable;
            return nullptr;
        }
        char *copied = nullptr;
        if (source.length < text_end - text) {
            copied = text;
            if (source.length > 0) __builtin_memcpy(copied, source.bytes, static_cast<size_t>(source.length));
            text += source.length + 1;
        } else {
            outcome = Fill::no_room;
        }
        source.release(pool);
        return copied;
    }
    bool dn(const Element &element) { return (entry->de_dn = copy(element)) != nullptr; }
    bool attribute(const Element &type) {
        if (current != nullptr) ++next_value_slot;  // the null slot after the previous attribute's values
        current = next_attribute++;
        *next_slot++ = current;
        current->da_vals = next_value_slot;
        return (current->da_name = copy(type)) != nullptr;
    }
    bool value(const Element &element) {
        dsval *value = next_value++;
        *next_value_slot++ = value;
        ++current->da_count;
        return (value->dv_text = copy(element)) != nullptr;
    }
};

// One entry message as a new entry block in *entry. DS_OK; DS_NO_MEMORY; or DS_STATUS(84), with
// ld_errno set, for a message that cannot be decoded or a text the translator refuses.
int32_t copy_entry(LDAP *ld, const LDAPMessage *message, dsent **entry) {
    HostPool *pool = ld->ld_pool;
    StringTranslator decode = message->lm_ber_elem->be_decode;
    if (decodes_unchanged(decode)) decode = nullptr;
    // The bytes as received size the block; a translation that needs more room (the Base64
    // text of bytes the host cannot represent) has the texts measured as translated.
    Measure measure{pool, nullptr};
    Walk walk = walk_entry(message, &measure);
    for (bool translated_sizes = false; walk == Walk::complete;) {
        const int64_t size = measure.records_bytes() + measure.text_bytes;
        void *block = size <= INT32_MAX ? qor::pool_alloc(pool, static_cast<int32_t>(size)) : nullptr;
        if (block == nullptr) return DS_NO_MEMORY;
        Layout layout(pool, decode, block, measure, size);
        walk = walk_entry(message, &layout);
        if (walk == Walk::complete) {
            *entry = layout.entry;
            return DS_OK;
        }
        qor::pool_free(pool, block);
        if (walk == Walk::visitor_failed && layout.outcome == Fill::no_room && !translated_sizes) {
            measure = Measure{pool, decode};
            walk = walk_entry(message, &measure);
            translated_sizes = true;
        }
    }
    ld->ld_errno = LDAP_DECODING_ERROR;
    return DS_STATUS(LDAP_DECODING_ERROR);
}

}  // namespace

namespace qor::ds {

// Gives the set `slots` slots (the null slot included), keeping its entries; false when the
// pool cannot.
bool ResultSetBuilder::resize(int32_t slots) {
    void *resized = nullptr;
    if (wmrealc(pool, set, 0, &resized, slots * static_cast<int32_t>(sizeof(dsent *)), kPoolZeroFilled) != 0 ||
        resized == nullptr) {
        return false;
    }
    set = static_cast<dsent **>(resized);
    capacity = slots;
    return true;
}

int32_t ResultSetBuilder::append(LDAP *ld, const LDAPMessage *message) {
    if (count + 1 >= capacity) {
        if (capacity > INT32_MAX / 2 / static_cast<int32_t>(sizeof(dsent *))) return DS_NO_MEMORY;
        if (!resize(capacity < kInitialEntrySlots ? kInitialEntrySlots : 2 * capacity)) return DS_NO_MEMORY;
    }
    dsent *entry = nullptr;
    const int32_t status = copy_entry(ld, message, &entry);
    if (status == DS_OK) set[count++] = entry;
    return status;
}

// The set handed over has one slot per entry and the null slot; when the pool cannot shrink the
// array, it keeps its spare null slots.
dsent **ResultSetBuilder::take() {
    if (count == 0) {
        release();
        return nullptr;
    }
    if (count + 1 < capacity) resize(count + 1);
    dsent **taken = set;
    set = nullptr;
    count = capacity = 0;
    return taken;
}

void ResultSetBuilder::release() {
    truncate(0);
    pool_free(pool, set);
    set = nullptr;
    capacity = 0;
}

void ResultSetBuilder::truncate(int32_t kept) {
    for (; count > kept; --count) {
        release_entry(pool, set[count - 1]);
        set[count - 1] = nullptr;
    }
}

void release_entry(HostPool *pool, dsent *entry) {
    if (entry == nullptr) return;
    for (dsatt **attribute = entry->de_atts; attribute != nullptr && *attribute != nullptr; ++attribute) {
        for (int32_t k = 0; k < (*attribute)->da_count; ++k) {
            dsval *value = (*attribute)->da_vals[k];
            if (value != nullptr && value->dv_kind == DSVAL_BINARY) pool_free(pool, value->dv_bin);
        }
    }
    pool_free(pool, entry);
}

}  // namespace qor::ds
