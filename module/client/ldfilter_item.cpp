// Simple filter items: "type=value" and its kinds, with the escapes of the filter syntax.
//
// An item is split and written from a decoded copy in which every byte carries a mark telling
// whether it was written as a hex escape; marked bytes are never operators. Pieces go to the
// codec as counted byte strings, so an escaped NUL is a byte like any other.
#include "ldfilter.h"

#include "../host/services.h"
#include "../util/util.h"
#include "client.h"
#include "pool.h"

namespace {

// A stretch of a simple item: its bytes and, for each byte, whether it was written as a hex
// escape. Such a byte stands for itself alone: it is never an operator, a separator or a
// wildcard, so that any byte can be searched for.
struct Span {
    const uint8_t *bytes;
    const uint8_t *literal;  // one flag per byte, non-zero for an escaped byte; null: none is
    int32_t length;
};

constexpr int32_t kOctetString = 0x04;

// A text taken as it stands, without escapes.
Span plain_span(const char *text) {
    return Span{reinterpret_cast<const uint8_t *>(text), nullptr, wzstlen(text)};
}

// The bytes [from, to) of `span`.
Span part(const Span &span, int32_t from, int32_t to) {
    return Span{span.bytes + from, span.literal != nullptr ? span.literal + from : nullptr, to - from};
}

bool is_operator(const Span &span, int32_t at, char c) {
    return span.bytes[at] == static_cast<uint8_t>(c) && (span.literal == nullptr || span.literal[at] == 0);
}

// The position of the first operator character `c` at or after `from`, or -1.
int32_t find_operator(const Span &span, char c, int32_t from = 0) {
    for (int32_t at = from; at < span.length; ++at) {
        if (is_operator(span, at, c)) return at;
    }
    return -1;
}

int32_t hex_digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes the escapes of `length` bytes in place and answers the decoded length. A backslash and
// two hex digits become that byte, marked in `literal`; a backslash before anything else is
// dropped and the byte after it kept as it is, with its ordinary meaning ("\\" is one
// backslash, which starts no escape); a lone backslash at the end disappears.
int32_t decode_escapes(uint8_t *text, int32_t length, uint8_t *literal) {
    int32_t decoded = 0;
    for (int32_t at = 0; at < length; ++at) {
        uint8_t byte = text[at];
        uint8_t escaped_byte = 0;
        if (byte == '\\') {
            const int32_t high = at + 2 < length ? hex_digit(text[at + 1]) : -1;
            const int32_t low = high != -1 ? hex_digit(text[at + 2]) : -1;
            if (low != -1) {
                byte = static_cast<uint8_t>(high << 4 | low);
                escaped_byte = 1;
                at += 2;
            } else if (++at < length) {
                byte = text[at];
            } else {
                break;
            }
        }
        text[decoded] = byte;
        literal[decoded] = escaped_byte;
        ++decoded;
    }
    return decoded;
}

// Writes `span` as one primitive element; 0, or -1. Counted, so escaped NUL bytes go out too.
int32_t put_span(BerElement *ber, int32_t tag, const Span &span) {
    berval value{span.length, const_cast<char *>(reinterpret_cast<const char *>(span.bytes))};
    berval *values[] = {&value, nullptr};
    return berprnt(ber, "tV", tag, values);
}

// Writes an attribute value assertion: { type, value } under `tag`.
int32_t put_assertion(BerElement *ber, int32_t tag, const Span &type, const Span &value) {
    if (berprnt(ber, "t{", tag) == -1 || put_span(ber, kOctetString, type) == -1 ||
        put_span(ber, kOctetString, value) == -1) {
        return -1;
    }
    return berprnt(ber, "}") == -1 ? -1 : 0;
}

// Writes a substrings filter: the value split at each "*" operator. The first piece is the
// initial part; after a "*" a piece followed by another "*" is an any part and the last piece
// the final part. Empty pieces are skipped.
int32_t put_substrings(BerElement *ber, const Span &type, const Span &value) {
    if (berprnt(ber, "t{", qor::kFilterSubstrings) == -1 || put_span(ber, kOctetString, type) == -1 ||
        berprnt(ber, "{") == -1) {
        return -1;
    }
    bool star_passed = false;
    for (int32_t from = 0;;) {
        const int32_t star = find_operator(value, '*', from);
        const int32_t to = star == -1 ? value.length : star;
        const int32_t tag = !star_passed ? qor::kSubstringInitial
                            : star == -1 ? qor::kSubstringFinal
                                         : qor::kSubstringAny;
        if (to > from && put_span(ber, tag, part(value, from, to)) == -1) {
            return -1;
        }
        if (star == -1) {
            break;
        }
        star_passed = true;
        from = star + 1;
    }
    return berprnt(ber, "}}") == -1 ? -1 : 0;
}

// What an extensible match's description "[type][:dn][:rule]" names.
struct Extensible {
    Span type;
    Span rule;
    bool has_rule;
    bool dn_attributes;
};

bool is_dn_keyword(const Span &span) {
    return span.length == 2 && (span.bytes[0] | 0x20) == 'd' && (span.bytes[1] | 0x20) == 'n';
}

// Reads the description before ":="; false for a form that names nothing to match with: no
// type and no rule, an empty rule, or more than a type, "dn" and a rule.
bool read_extensible(const Span &description, Extensible *out) {
    *out = Extensible{description, Span{description.bytes, nullptr, 0}, false, false};
    const int32_t first = find_operator(description, ':');
    if (first != -1) {
        out->type = part(description, 0, first);
        const Span rest = part(description, first + 1, description.length);
        const int32_t second = find_operator(rest, ':');
        const Span head = second == -1 ? rest : part(rest, 0, second);
        out->dn_attributes = is_dn_keyword(head);
        if (second != -1) {
            out->rule = part(rest, second + 1, rest.length);
            if (!out->dn_attributes || find_operator(out->rule, ':') != -1) return false;
        } else if (!out->dn_attributes) {
            out->rule = head;
        }
        out->has_rule = second != -1 || !out->dn_attributes;
    }
    if (out->has_rule && out->rule.length == 0) return false;
    return out->has_rule || out->type.length > 0;
}

// Writes a matching rule assertion: [9] { [1] rule, [2] type, [3] value, [4] dnAttributes },
// the rule and the type only when named, dnAttributes only when true.
int32_t put_extensible(BerElement *ber, const Span &description, const Span &value) {
    Extensible match;
    if (!read_extensible(description, &match) || berprnt(ber, "t{", qor::kFilterExtensible) == -1) {
        return -1;
    }
    if ((match.has_rule && put_span(ber, qor::kExtensibleRule, match.rule) == -1) ||
        (match.type.length > 0 && put_span(ber, qor::kExtensibleType, match.type) == -1) ||
        put_span(ber, qor::kExtensibleValue, value) == -1 ||
        (match.dn_attributes && berprnt(ber, "tb", qor::kExtensibleDnAttributes, 1) == -1)) {
        return -1;
    }
    return berprnt(ber, "}") == -1 ? -1 : 0;
}

// The tag of the comparison that the operator before "=" chooses, or 0 for none.
int32_t comparison_tag(const Span &item, int32_t equals) {
    if (equals == 0) return 0;
    if (is_operator(item, equals - 1, '<')) return qor::kFilterLessOrEqual;
    if (is_operator(item, equals - 1, '>')) return qor::kFilterGreaterOrEqual;
    if (is_operator(item, equals - 1, '~')) return qor::kFilterApproximate;
    if (is_operator(item, equals - 1, ':')) return qor::kFilterExtensible;
    return 0;
}

// Writes one simple item, split at its first "=" operator; 0, or -1. A "*" operator in the value
// of an equality makes it a presence (the value "*" alone) or substrings filter; in the other
// comparisons "*" is an ordinary character.
int32_t put_item(BerElement *ber, const Span &item) {
    const int32_t equals = find_operator(item, '=');
    if (equals == -1) {
        return -1;
    }
    const Span value = part(item, equals + 1, item.length);
    const int32_t tag = comparison_tag(item, equals);
    if (tag == qor::kFilterExtensible) {
        return put_extensible(ber, part(item, 0, equals - 1), value);
    }
    if (tag != 0) {
        return put_assertion(ber, tag, part(item, 0, equals - 1), value);
    }
    const Span type = part(item, 0, equals);
    if (find_operator(value, '*') == -1) {
        return put_assertion(ber, qor::kFilterEquality, type, value);
    }
    if (value.length == 1) {
        return put_span(ber, qor::kFilterPresent, type) == -1 ? -1 : 0;
    }
    return put_substrings(ber, type, value);
}

// Writes an item whose bytes are the directory's already: the element's encode translator stays
// off while it is written, and is put back afterwards.
int32_t put_item_untranslated(BerElement *ber, const Span &item) {
    const StringTranslator encode = ber->be_encode;
    if (encode == nullptr) {
        return put_item(ber, item);
    }
    bersstt(ber, nullptr, ber->be_decode);
    const int32_t result = put_item(ber, item);
    bersstt(ber, encode, ber->be_decode);
    return result;
}

}  // namespace

namespace qor {

// The copy is translated into the directory's encoding before its escapes are decoded, so that
// an escaped byte goes out as written, whatever the host's encoding.
ItemOutcome put_filter_item(BerElement *ber, const char *item, int32_t length) {
    HostPool *pool = ber->be_pool;
    auto *text = reinterpret_cast<uint8_t *>(pool_copy_bytes(pool, item, length));
    if (text == nullptr) {
        return ItemOutcome::kNoMemory;
    }
    const StringTranslator encode = ber->be_encode;
    if (encode != nullptr && (encode(pool, &text, &length, 1) != 0 || text == nullptr)) {
        // The translator has taken the copy; its failure is the codec's, as for any string.
        return ItemOutcome::kRefused;
    }
    // Only a text with a backslash can hold escaped bytes and needs their marks.
    const bool escaped = wzstpos(reinterpret_cast<const char *>(text), length, '\\') != -1;
    uint8_t *literal = escaped ? static_cast<uint8_t *>(pool_alloc(pool, length)) : nullptr;
    ItemOutcome outcome = ItemOutcome::kNoMemory;
    if (!escaped || literal != nullptr) {
        if (escaped) {
            length = decode_escapes(text, length, literal);
        }
        outcome = put_item_untranslated(ber, Span{text, literal, length}) == 0 ? ItemOutcome::kWritten
                                                                               : ItemOutcome::kRefused;
    }
    pool_free(pool, literal);
    if (encode != nullptr) {
        pool_free_buffer(pool, text);
    } else {
        pool_free(pool, text);
    }
    return outcome;
}

}  // namespace qor

int32_t put_simple_filter(BerElement *ber, char *item) {
    return put_item(ber, plain_span(item));
}

int32_t put_substring_filter(BerElement *ber, char *type, char *value) {
    return put_substrings(ber, plain_span(type), plain_span(value));
}
