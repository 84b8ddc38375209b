// search, read and expand: lookups whose entries are printed.
#include <cstddef>
#include <functional>

#include "commands.h"
#include "report.h"
#include "result_sets.h"
#include "session.h"
#include "usage_error.h"

namespace qords {
namespace {

using Lookup = std::function<int32_t(qorldap::ResultSet &, char **attributes)>;

enum class EmptyResult { fine, missing };

// Opens the session, runs `lookup`, prints its entries. A warning status (entries delivered
// despite a size or time limit) prints the entries and warns.
int lookup_and_print(const Context &context, const std::string &what, BaseUse base_use,
                     const AttributeSelection &selection, EmptyResult empty, const Lookup &lookup) {
    const Settings &settings = context.settings();
    qorldap::Session session(context.module.directory());
    if (std::optional<int> failed = open_session(context, base_use, session)) return *failed;
    AttributeNames names(selection);
    qorldap::ResultSet results(session);
    const int32_t status = lookup(results, names.get());
    if (DS_FAILED(status)) return report_failure(context.module, session.get(), settings.verbose, what, status);
    if (results.empty() && empty == EmptyResult::missing) {
        report_error(what, "the server returned no entry");
        return kExitNoSuchObject;
    }
    std::vector<Entry> entries;
    if (const int32_t copied = copy_entries(context.module.directory(), session.get(), results, selection, entries);
        copied != DS_OK)
        return report_failure(context.module, session.get(), settings.verbose, what, copied);
    print_entries(entries, settings.json);
    if (status != DS_OK) report_warning(context.module, what, status, "the entries printed are not all there are");
    return kExitSuccess;
}

AttributeSelection selection_after(const std::vector<std::string> &arguments, size_t first) {
    return AttributeSelection(std::vector<std::string>(arguments.begin() + static_cast<std::ptrdiff_t>(first), arguments.end()));
}

}  // namespace

// The module answers a blank filter with "Can't contact LDAP server" (the server drops the
// connection on it), which misleads: refused here, saying what is wrong.
void check_filter(const std::string &filter) {
    if (filter.find_first_not_of(" \t") == std::string::npos)
        throw UsageError("the filter is empty; a search needs one such as \"(objectClass=*)\"");
}

int run_search(const Context &context) {
    const std::string &filter = context.arguments()[0];
    check_filter(filter);
    const AttributeSelection selection = selection_after(context.arguments(), 1);
    return lookup_and_print(context, "search " + filter, BaseUse::needed, selection, EmptyResult::fine,
                            [&](qorldap::ResultSet &results, char **attributes) {
                                return results.resolve(filter.c_str(), attributes);
                            });
}

int run_read(const Context &context) {
    const std::string &dn = context.arguments()[0];
    const AttributeSelection selection = selection_after(context.arguments(), 1);
    return lookup_and_print(context, "read " + dn, BaseUse::unused, selection, EmptyResult::missing,
                            [&](qorldap::ResultSet &results, char **attributes) {
                                return results.resolve_dn(dn.c_str(), attributes);
                            });
}

int run_expand(const Context &context) {
    const std::string &group = context.arguments()[0];
    const AttributeSelection selection({});
    return lookup_and_print(context, "expand " + group, BaseUse::needed, selection, EmptyResult::fine,
                            [&](qorldap::ResultSet &results, char **) { return results.expand_group(group.c_str()); });
}

}  // namespace qords
