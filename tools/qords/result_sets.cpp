#include "result_sets.h"

#include <cstdio>

#include "json_writer.h"
#include "ldif_writer.h"

namespace qords {

AttributeNames::AttributeNames(const AttributeSelection &selection) : names_(selection.names()) {
    for (std::string &name : names_) pointers_.push_back(name.data());
    pointers_.push_back(nullptr);
}

int32_t copy_entries(const qorldap::Directory &directory, LDAP *session, const qorldap::ResultSet &results,
                     const AttributeSelection &selection, std::vector<Entry> &entries) {
    for (dsent *record : results) {
        Entry &entry = entries.emplace_back();
        entry.dn = record->de_dn != nullptr ? record->de_dn : "";
        for (dsatt **slot = record->de_atts; slot != nullptr && *slot != nullptr; ++slot) {
            const dsatt &source = **slot;
            Attribute &attribute = entry.attributes.emplace_back();
            attribute.name = source.da_name != nullptr ? source.da_name : "";
            const View view = selection.view_of(attribute.name);
            for (int32_t k = 0; k < source.da_count; ++k) {
                dsval *from = source.da_vals[k];
                Value &value = attribute.values.emplace_back();
                value.view = view;
                switch (view) {
                    case View::text: value.bytes = directory.dsgstr(from) != nullptr ? directory.dsgstr(from) : ""; break;
                    case View::binary: {
                        int32_t length = -1;   // left untouched only when the pool had no memory
                        const unsigned char *bytes = directory.dsgbin(session, from, &length);
                        if (bytes == nullptr && length < 0) return DS_NO_MEMORY;
                        if (bytes != nullptr && length > 0) value.bytes.assign(reinterpret_cast<const char *>(bytes), length);
                        break;
                    }
                    case View::int32: value.integer = directory.dsgint(from); break;
                    case View::long32: value.integer = directory.dsglong(from); break;
                    case View::short16: value.integer = directory.dsgshrt(from); break;
                    case View::float32: value.real = directory.dsgflt(from); break;
                    case View::float64: value.real = directory.dsgdbl(from); break;
                }
            }
        }
    }
    return DS_OK;
}

void print_entries(const std::vector<Entry> &entries, bool json) {
    const std::string text = json ? json_text(entries) : ldif_text(entries);
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace qords
