#include "result_sets.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "ldif_writer.h"

namespace qords {
namespace {

// True when standard output is a regular file that is still empty: the start of an LDIF file,
// where its version line belongs (a file appended to, ">>", holds what came before).
bool output_starts_a_file() {
    std::fflush(stdout);
    struct stat status {};
    return ::fstat(STDOUT_FILENO, &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0 &&
           ::lseek(STDOUT_FILENO, 0, SEEK_CUR) == 0;
}

}  // namespace

AttributeNames::AttributeNames(const AttributeSelection &selection) : names_(selection.names()) {
    for (std::string &name : names_) pointers_.push_back(name.data());
    pointers_.push_back(nullptr);
}

AttributeSelection class_attributes() {
    return AttributeSelection({"objectClass", "qorInterface"});
}

int32_t copy_entry(const qorldap::Directory &directory, LDAP *session, const dsent &record,
                   const AttributeSelection &selection, Entry &entry, MisreadValues &misread) {
    entry.dn = record.de_dn != nullptr ? record.de_dn : "";
    entry.attributes.clear();
    for (dsatt **slot = record.de_atts; slot != nullptr && *slot != nullptr; ++slot) {
        const dsatt &source = **slot;
        Attribute &attribute = entry.attributes.emplace_back();
        attribute.name = source.da_name != nullptr ? source.da_name : "";
        const View view = selection.view_of(attribute.name);
        for (int32_t k = 0; k < source.da_count; ++k) {
            dsval *from = source.da_vals[k];
            const char *text = directory.dsgstr(from) != nullptr ? directory.dsgstr(from) : "";
            Value &value = attribute.values.emplace_back();
            value.view = view;
            switch (view) {
            case View::text: value.bytes = text; break;
            case View::binary: {
                int32_t length = -1;  // left untouched only when the pool had no memory
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
            if (view != View::text) misread.check(entry.dn, attribute.name, view, text, value);
        }
    }
    return DS_OK;
}

void EntryPrinter::print(const Entry &entry) {
    std::string text;
    if (json_) {
        text = array_.element(entry);
    } else {
        if (printed_ == 0 && output_starts_a_file()) text = ldif_version_line();
        text += ldif_record(entry);
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    ++printed_;
}

void EntryPrinter::finish() {
    if (!json_) return;
    const std::string end = array_.end();
    std::fwrite(end.data(), 1, end.size(), stdout);
}

}  // namespace qords
