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

// What a lookup that delivered no entry means: an exit status for the command (reported), or
// nullopt when finding nothing is an answer like any other.
using NoEntry = std::function<std::optional<int>(const qorldap::Session &, const qorldap::ResultSet &)>;

std::optional<int> nothing_found(const qorldap::Session &, const qorldap::ResultSet &) {
    return std::nullopt;
}

// Opens the session, runs `lookup`, prints its entries. A result that is not complete (a limit
// reached, a referral not followed) prints what arrived, warns and answers kExitPartial.
int lookup_and_print(const Context &context, const std::string &what, BaseUse base_use,
                     const AttributeSelection &selection, const NoEntry &no_entry, const Lookup &lookup) {
    const Settings &settings = context.settings();
    qorldap::Session session(context.module.directory());
    if (std::optional<int> failed = open_session(context, base_use, session)) return *failed;
    AttributeNames names(selection);
    qorldap::ResultSet results(session);
    const int32_t status = lookup(results, names.get());
    if (DS_FAILED(status) && !partial_result(status))
        return report_failure(context.module, session.get(), settings.verbose, what, status);
    if (results.empty() && !partial_result(status)) {
        if (std::optional<int> answer = no_entry(session, results)) return *answer;
    }
    // Each entry is printed as soon as it is copied: the result set is the only copy held whole.
    EntryPrinter printer(settings.json);
    MisreadValues misread;
    Entry entry;
    for (const dsent *record : results) {
        if (const int32_t copied =
                copy_entry(context.module.directory(), session.get(), *record, selection, entry, misread);
            copied != DS_OK) {
            if (printer.printed() > 0) printer.finish();  // what was printed stays a whole JSON text
            return report_failure(context.module, session.get(), settings.verbose, what, copied);
        }
        printer.print(entry);
    }
    printer.finish();
    const size_t printed = printer.printed();
    misread.report(what);
    if (partial_result(status)) {
        report_warning(context.module, session.get(), what, status,
                       printed == 0 ? "no entries arrived" : "the entries printed are not all there are");
        return kExitPartial;
    }
    if (printed == 0 && !settings.json) report_error(what, "no entries");
    return kExitSuccess;
}

AttributeSelection selection_after(const std::vector<std::string> &arguments, size_t first) {
    return AttributeSelection(
        std::vector<std::string>(arguments.begin() + static_cast<std::ptrdiff_t>(first), arguments.end()));
}

// dsexpgrp delivers nothing at all (not even an empty set) for an entry without members, and
// every entry that is not a group has none: the entry's classes tell which it was.
std::optional<int> explain_no_expansion(const Context &context, const std::string &group,
                                        const qorldap::Session &session, const qorldap::ResultSet &expanded) {
    const std::string what = "expand " + group;
    if (expanded.get() != nullptr) return std::nullopt;  // members, but no subscribers
    AttributeNames classes(class_attributes());
    qorldap::ResultSet entry(session);
    const int32_t status = entry.resolve_dn(group.c_str(), classes.get());
    if (DS_FAILED(status))
        return report_failure(context.module, session.get(), context.settings().verbose, what, status);
    const qorldap::Directory &directory = context.module.directory();
    for (const char *group_class : {"groupOfNames", "groupOfUniqueNames"}) {
        if (!entry.empty() &&
            directory.dsiscls(session.get(), entry[0], group_class,
                              static_cast<int32_t>(std::char_traits<char>::length(group_class))) == 1) {
            report_error(what, "the group has no members");
            return kExitSuccess;
        }
    }
    report_error(what, "the entry is not a group (groupOfNames or groupOfUniqueNames)");
    return kExitUsage;
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
    return lookup_and_print(
        context, "search " + filter, BaseUse::needed, selection, nothing_found,
        [&](qorldap::ResultSet &results, char **attributes) { return results.resolve(filter.c_str(), attributes); });
}

int run_read(const Context &context) {
    const std::string &dn = context.arguments()[0];
    const std::string what = "read " + dn;
    const AttributeSelection selection = selection_after(context.arguments(), 1);
    const auto missing = [&](const qorldap::Session &, const qorldap::ResultSet &) -> std::optional<int> {
        report_error(what, "the server returned no entry");
        return kExitNoSuchObject;
    };
    return lookup_and_print(
        context, what, BaseUse::unused, selection, missing,
        [&](qorldap::ResultSet &results, char **attributes) { return results.resolve_dn(dn.c_str(), attributes); });
}

int run_expand(const Context &context) {
    const std::string &group = context.arguments()[0];
    const AttributeSelection selection({});
    const auto no_expansion = [&](const qorldap::Session &session, const qorldap::ResultSet &expanded) {
        return explain_no_expansion(context, group, session, expanded);
    };
    return lookup_and_print(context, "expand " + group, BaseUse::needed, selection, no_expansion,
                            [&](qorldap::ResultSet &results, char **) { return results.expand_group(group.c_str()); });
}

}  // namespace qords
