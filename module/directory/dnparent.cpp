// The parent part of a name: for a distinguished name everything after its first relative name,
// for a mail or domain name everything after its first at sign or, failing that, its first
// full stop.
#include "directory.h"

namespace {

// The first separator ("," or ";") of a DN outside double quotes, skipping escaped characters;
// null when the DN has none.
const char *first_rdn_separator(const char *dn) {
    bool quoting = false;
    for (const char *p = dn; *p != '\0'; ++p) {
        if (*p == '\\') {
            if (p[1] != '\0') ++p;
        } else if (*p == '"') {
            quoting = !quoting;
        } else if (!quoting && (*p == ',' || *p == ';')) {
            return p;
        }
    }
    return nullptr;
}

// Where the parent of `name` (leading blanks and line feeds already skipped) starts, or null
// when it has none.
const char *parent_of(const char *name) {
    const int32_t length = wzstlen(name);
    const char *separator = nullptr;
    if (wzstpos(name, length, '=') >= 0) {
        separator = first_rdn_separator(name);
    } else {
        int32_t at = wzstpos(name, length, '@');
        if (at < 0) at = wzstpos(name, length, '.');
        if (at >= 0) separator = name + at;
    }
    if (separator == nullptr || separator[1] == '\0') return nullptr;
    return separator + 1;
}

}  // namespace

void dsdnprnt(const char *name, char *output, int32_t size, int32_t *length) {
    if (length == nullptr) return;
    *length = 0;
    if (name == nullptr) return;
    while (*name == ' ' || *name == '\n') ++name;
    const char *parent = parent_of(name);
    if (parent == nullptr || output == nullptr) return;
    int32_t count = wzstlen(parent);
    if (count > size) count = size < 0 ? 0 : size;
    if (count > 0) __builtin_memcpy(output, parent, static_cast<size_t>(count));
    *length = count;
}
