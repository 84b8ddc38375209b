// LDIF input of the qords tool: arbitrary text read as records, each record as the request it
// makes, as one entry to add and as change records, through the reader's own source files.
//   - malformed input is an LdifError naming a line of the input, never another exception, a
//     crash or a hang; the reader goes on after a malformed record and still ends;
//   - an entry read has attributes, each with a name and at least one value; an "add" change has
//     values; a rename has a new RDN;
//   - same_dn is reflexive and symmetric.
// Inputs that could name a file to read ("name:< file:///...") are skipped: a fuzz run must not
// read the machine's files (or a device that never ends).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz/support/runtime.h"
#include "change_records.h"

namespace {

using qorfuzz::fail;

// True when `text`, with every line break and blank taken out (as unfolding could), names a file.
bool could_name_a_file(std::string_view text) {
    std::string squeezed;
    for (char c : text) {
        if (c != '\n' && c != '\r' && c != ' ') squeezed += c;
    }
    return squeezed.find("file:") != std::string::npos;
}

int physical_lines(std::string_view text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
}

void check_error_line(const qords::LdifError &error, std::string_view text, const char *reader) {
    if (error.line() < 1 || error.line() > physical_lines(text)) {
        fail("%s reported line %d of an input of %d lines: %s", reader, error.line(), physical_lines(text), error.what());
    }
}

void check_request(const qords::ChangeRecord &record) {
    switch (record.type) {
        case qords::ChangeType::add:
            if (record.attributes.empty()) fail("change_record answered an entry without attributes");
            break;
        case qords::ChangeType::modify:
            if (record.changes.empty()) fail("change_record answered a modification without changes");
            break;
        case qords::ChangeType::rename:
            if (record.rename.new_rdn.empty()) fail("change_record answered a rename without a new RDN");
            break;
        case qords::ChangeType::remove: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    if (could_name_a_file(text)) return 0;

    std::istringstream input{std::string(text)};
    qords::LdifReader reader(input);
    for (int records = 0;; ++records) {
        if (records > physical_lines(text)) fail("the reader answered more records than the input has lines");
        try {
            const std::optional<qords::LdifRecord> record = reader.next();
            if (!record) break;
            if (record->lines.empty()) fail("the reader answered an empty record");
            for (const qords::UntypedRecord untyped : {qords::UntypedRecord::add, qords::UntypedRecord::modify}) {
                try {
                    check_request(qords::change_record(*record, untyped));
                } catch (const qords::LdifError &error) {
                    check_error_line(error, text, "change_record");
                }
            }
        } catch (const qords::LdifError &error) {
            check_error_line(error, text, "LdifReader");
        }
    }

    try {
        const qords::ChangeRecord entry = qords::ldif_entry(text);
        if (entry.attributes.empty()) fail("ldif_entry answered an entry without attributes");
        for (const qords::AttributeValues &attribute : entry.attributes) {
            if (attribute.name.empty() || attribute.values.empty()) fail("ldif_entry answered an attribute without name or values");
        }
    } catch (const qords::LdifError &error) {
        check_error_line(error, text, "ldif_entry");
    }

    try {
        const qords::ChangeInput changes = qords::ldif_changes(text);
        if (changes.changes.empty()) fail("ldif_changes answered no change");
        for (const qords::Change &change : changes.changes) {
            if (change.attribute.empty()) fail("ldif_changes answered a change without attribute");
            if (change.kind == qords::ChangeKind::add && change.values.empty()) fail("ldif_changes answered an add without values");
        }
    } catch (const qords::LdifError &error) {
        check_error_line(error, text, "ldif_changes");
    }

    const std::string_view first = text.substr(0, size / 2);
    const std::string_view second = text.substr(size / 2);
    if (!qords::same_dn(first, first)) fail("same_dn is not reflexive");
    if (qords::same_dn(first, second) != qords::same_dn(second, first)) fail("same_dn is not symmetric");
    return 0;
}
