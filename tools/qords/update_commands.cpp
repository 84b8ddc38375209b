// add, modify and delete.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <iterator>

#include "attribute_lists.h"
#include "commands.h"
#include "ldif_reader.h"
#include "report.h"
#include "session.h"
#include "usage_error.h"

namespace qords {
namespace {

// All of standard input; on a terminal the user is told that it is being read.
std::string read_standard_input(const std::string &what) {
    if (::isatty(STDIN_FILENO) != 0)
        std::fprintf(stderr, "qords: %s: reading LDIF from standard input (end it with Ctrl-D)\n", what.c_str());
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

// The module sends every value as NUL-terminated text, so a value with a zero byte inside would
// arrive cut short: refuse it instead.
void check_sendable(const std::string &attribute, const std::vector<std::string> &values) {
    for (const std::string &value : values)
        if (value.find('\0') != std::string::npos)
            throw UsageError("a value of " + attribute +
                             " holds a zero byte, which the module cannot send as text; give binary data as " +
                             attribute + ":bin=@FILE (stored as Base64 text)");
}

AttributeInput text_attribute(const std::string &name, const std::vector<std::string> &values) {
    check_sendable(name, values);
    AttributeInput input{name, {}};
    for (const std::string &value : values) input.values.push_back(TypedValue{View::text, value, 0, 0});
    return input;
}

void check_dn(const std::string &given, const std::string &in_input) {
    if (!same_dn(given, in_input))
        throw UsageError("the input is for \"" + in_input + "\", not for \"" + given + "\"");
}

std::string input_error(const LdifError &error) { return std::string("standard input, ") + error.what(); }

int32_t operation_named(const std::string &name) {
    if (name == "add") return DS_MOD_ADD;
    if (name == "delete") return DS_MOD_DELETE;
    if (name == "replace") return DS_MOD_REPLACE;
    throw UsageError("the change is add, delete or replace, not \"" + name + "\"");
}

// The module cannot send an add or replace without values.
void check_values(int32_t operation, const std::string &attribute, size_t count) {
    if (count > 0) return;
    if (operation == DS_MOD_ADD) throw UsageError("add of " + attribute + " needs at least one value");
    if (operation == DS_MOD_REPLACE)
        throw UsageError("replace of " + attribute + " needs at least one value (delete removes the whole attribute)");
}

struct ModifyRequest {
    std::vector<int32_t> operations;
    std::vector<AttributeInput> attributes;
};

ModifyRequest changes_from_input(const std::string &dn, const std::string &what) {
    ChangeInput input;
    try {
        input = ldif_changes(read_standard_input(what));
    } catch (const LdifError &error) {
        throw UsageError(input_error(error));
    }
    for (const std::string &named : input.dns) check_dn(dn, named);
    ModifyRequest request;
    for (const Change &change : input.changes) {
        const int32_t operation = change.kind == ChangeKind::add      ? DS_MOD_ADD
                                  : change.kind == ChangeKind::remove ? DS_MOD_DELETE
                                                                      : DS_MOD_REPLACE;
        check_values(operation, change.attribute, change.values.size());
        request.operations.push_back(operation);
        request.attributes.push_back(text_attribute(change.attribute, change.values));
    }
    return request;
}

}  // namespace

int run_add(const Context &context) {
    const std::string &dn = context.arguments()[0];
    const std::string what = "add " + dn;
    std::vector<AttributeInput> attributes;
    if (context.arguments().size() > 1) {
        attributes = group_assignments(std::vector<std::string>(context.arguments().begin() + 1, context.arguments().end()));
    } else {
        EntryInput entry;
        try {
            entry = ldif_entry(read_standard_input(what));
        } catch (const LdifError &error) {
            throw UsageError(input_error(error));
        }
        if (entry.dn) check_dn(dn, *entry.dn);
        for (const AttributeValues &attribute : entry.attributes)
            attributes.push_back(text_attribute(attribute.name, attribute.values));
    }

    qorldap::Session session(context.module.directory());
    if (std::optional<int> failed = open_session(context, BaseUse::unused, session)) return *failed;
    AttributeRecords records(session);
    for (const AttributeInput &attribute : attributes)
        if (records.add(attribute) == nullptr)
            return report_failure(context.module, session.get(), context.settings().verbose, what, DS_NO_MEMORY);
    dsent entry{nullptr, records.all()};
    const int32_t status = context.module.directory().dsreg(session.get(), dn.c_str(), &entry);
    if (status != DS_OK) return report_failure(context.module, session.get(), context.settings().verbose, what, status);
    return kExitSuccess;
}

int run_modify(const Context &context) {
    const std::vector<std::string> &arguments = context.arguments();
    const std::string &dn = arguments[0];
    const std::string what = "modify " + dn;
    ModifyRequest request;
    if (arguments.size() == 1) {
        request = changes_from_input(dn, what);
    } else {
        if (arguments.size() < 3) throw UsageError("modify DN " + arguments[1] + " needs an attribute");
        const int32_t operation = operation_named(arguments[1]);
        const std::vector<std::string> values(arguments.begin() + 3, arguments.end());
        check_values(operation, arguments[2], values.size());
        request.operations.push_back(operation);
        request.attributes.push_back(text_attribute(arguments[2], values));
    }

    qorldap::Session session(context.module.directory());
    if (std::optional<int> failed = open_session(context, BaseUse::unused, session)) return *failed;
    const qorldap::Directory &directory = context.module.directory();
    int32_t status = DS_OK;
    if (request.attributes.size() == 1 && !request.attributes[0].values.empty()) {
        // One change with values: sent as the texts are, nothing built in the session.
        std::vector<char *> values;
        for (TypedValue &value : request.attributes[0].values) values.push_back(value.bytes.data());
        values.push_back(nullptr);
        status = directory.dsmodone(session.get(), dn.c_str(), request.operations[0],
                                    request.attributes[0].name.c_str(), values.data());
    } else {
        AttributeRecords records(session);
        std::vector<dsmod> changes;
        for (size_t i = 0; i < request.attributes.size(); ++i) {
            dsatt *attribute = records.add(request.attributes[i]);
            if (attribute == nullptr)
                return report_failure(context.module, session.get(), context.settings().verbose, what, DS_NO_MEMORY);
            changes.push_back(dsmod{request.operations[i], attribute});
        }
        std::vector<dsmod *> pointers;
        for (dsmod &change : changes) pointers.push_back(&change);
        pointers.push_back(nullptr);
        status = directory.dsmodify(session.get(), dn.c_str(), pointers.data());
    }
    if (status != DS_OK) return report_failure(context.module, session.get(), context.settings().verbose, what, status);
    return kExitSuccess;
}

int run_delete(const Context &context) {
    const std::string &dn = context.arguments()[0];
    qorldap::Session session(context.module.directory());
    if (std::optional<int> failed = open_session(context, BaseUse::unused, session)) return *failed;
    const int32_t status = context.module.directory().dsdereg(session.get(), dn.c_str());
    if (status != DS_OK)
        return report_failure(context.module, session.get(), context.settings().verbose, "delete " + dn, status);
    return kExitSuccess;
}

}  // namespace qords
