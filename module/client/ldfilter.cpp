// The string filter encoder: parses the parenthesised prefix syntax and writes each filter
// element through the codec while it scans, without building a tree.
//
// Every parser works in place on a modifiable text. To hand the codec a NUL-terminated piece it
// writes a NUL at the end of the piece and puts the saved byte back before it returns, on every
// path, so the text reads as it did before the call. Simple items are encoded by
// ldfilter_item, which works on a copy of its own.
#include "ldfilter.h"

#include "../host/gcb.h"
#include "../host/services.h"
#include "../util/util.h"
#include "client.h"
#include "pool.h"

namespace {

// Complex filters nest by recursion; deeper texts are refused as bad filters so that a hostile
// or runaway text cannot exhaust the task's stack.
constexpr int32_t kMaxNesting = 64;

// One encoding run: the element written, the current nesting of complex filters, and whether a
// failure came from the pool rather than from the text.
struct FilterScan {
    BerElement *ber;
    int32_t nesting;
    bool out_of_memory;
};

int32_t scan_filter(FilterScan &scan, char *text);

// Encodes one simple item of `length` bytes at `item`; 0, or -1.
int32_t encode_item(FilterScan &scan, const char *item, int32_t length) {
    const qor::ItemOutcome outcome = qor::put_filter_item(scan.ber, item, length);
    if (outcome == qor::ItemOutcome::kNoMemory) {
        scan.out_of_memory = true;
    }
    return outcome == qor::ItemOutcome::kWritten ? 0 : -1;
}

bool is_white_space(char c) {
    const auto *classes = reinterpret_cast<const uint8_t *>(qor::gcb_word(kGcbCharClass));
    return (classes[static_cast<uint8_t>(c)] & kCharClassSpace) != 0;
}

// True when `text` holds nothing but white space: such a text names no filter, and a search
// request without a filter element is one that servers answer by dropping the connection.
bool names_no_filter(const char *text) {
    for (; text != nullptr && *text != '\0'; ++text) {
        if (*text != ' ' && !is_white_space(*text)) return false;
    }
    return true;
}

// Encodes a list of parenthesised filters separated by white space; 0, or -1.
int32_t scan_filter_list(FilterScan &scan, char *list) {
    char *at = list;
    for (;;) {
        while (*at != '\0' && is_white_space(*at)) {
            ++at;
        }
        if (*at == '\0') {
            return 0;
        }
        if (*at != '(') {
            return -1;
        }
        char *close = find_right_paren(at + 1);
        if (close == nullptr) {
            return -1;
        }
        const char saved = close[1];
        close[1] = '\0';
        const int32_t result = scan_filter(scan, at);
        close[1] = saved;
        if (result == -1) {
            return -1;
        }
        at = close + 1;
    }
}

// Encodes the complex filter whose operator character is at `text`: the element tagged `tag`
// around the encoded list. Answers the position after the matching ")", or null.
char *scan_complex_filter(FilterScan &scan, char *text, int32_t tag) {
    if (scan.nesting >= kMaxNesting || berprnt(scan.ber, "t{", tag) == -1) {
        return nullptr;
    }
    char *close = find_right_paren(text + 1);
    if (close == nullptr) {
        return nullptr;
    }
    *close = '\0';
    ++scan.nesting;
    const int32_t listed = scan_filter_list(scan, text + 1);
    --scan.nesting;
    *close = ')';
    if (listed == -1 || berprnt(scan.ber, "}") == -1) {
        return nullptr;
    }
    return close + 1;
}

// The complex-filter tag of an operator character, or 0.
int32_t complex_tag(char op) {
    switch (op) {
    case '&': return qor::kFilterAnd;
    case '|': return qor::kFilterOr;
    case '!': return qor::kFilterNot;
    default: return 0;
    }
}

// Encodes a filter text: blanks, parenthesised filters one after another, or one bare item that
// takes the rest of the text. Answers 0, or -1.
int32_t scan_filter(FilterScan &scan, char *text) {
    char *at = text;
    while (*at != '\0') {
        if (*at == ' ') {
            ++at;
            continue;
        }
        if (*at == ')') {
            // Every "(" consumes its own ")", so this one has no "(" to match.
            return -1;
        }
        if (*at != '(') {
            // A bare item: the whole rest of the text.
            return encode_item(scan, at, wzstlen(at));
        }
        ++at;
        const int32_t tag = complex_tag(*at);
        if (tag != 0) {
            at = scan_complex_filter(scan, at, tag);
            if (at == nullptr) {
                return -1;
            }
            continue;
        }
        char *close = find_right_paren(at);
        if (close == nullptr) {
            return -1;
        }
        const int32_t length = static_cast<int32_t>(close - at);
        if (encode_item(scan, at, length) == -1) {
            return -1;
        }
        at = close + 1;
    }
    return 0;
}

}  // namespace

char *find_right_paren(char *text) {
    int32_t balance = 1;
    bool escaped = false;
    for (char *at = text; *at != '\0'; ++at) {
        if (escaped) {
            escaped = false;
        } else if (*at == '\\') {
            escaped = true;
        } else if (*at == '(') {
            ++balance;
        } else if (*at == ')' && --balance == 0) {
            return at;
        }
    }
    return nullptr;
}

int32_t put_filter(BerElement *ber, char *filter) {
    FilterScan scan{ber, 0, false};
    return scan_filter(scan, filter);
}

int32_t put_filter_list(BerElement *ber, char *list) {
    FilterScan scan{ber, 0, false};
    return scan_filter_list(scan, list);
}

char *put_complex_filter(BerElement *ber, char *text, int32_t tag) {
    FilterScan scan{ber, 0, false};
    return scan_complex_filter(scan, text, tag);
}

int32_t put_equality_filter(BerElement *ber, const char *type, const char *value) {
    return berprnt(ber, "t{ss}", qor::kFilterEquality, type, value) == -1 ? -1 : 0;
}

int32_t write_string_filter(BerElement *ber, const void *filter) {
    const auto *text = static_cast<const char *>(filter);
    if (names_no_filter(text)) {
        return LDAP_FILTER_ERROR;
    }
    char *copy = qor::pool_copy_bytes(ber->be_pool, text != nullptr ? text : "", wzstlen(text));
    if (copy == nullptr) {
        return LDAP_NO_MEMORY;
    }
    FilterScan scan{ber, 0, false};
    const int32_t result = scan_filter(scan, copy);
    qor::pool_free(ber->be_pool, copy);
    if (result == 0) {
        return 0;
    }
    return scan.out_of_memory ? LDAP_NO_MEMORY : LDAP_FILTER_ERROR;
}
