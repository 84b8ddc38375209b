// add, modify and delete: one update named on the command line, or every record of an LDIF
// input (standard input, or the file of -f) when no DN is given.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

#include "attribute_lists.h"
#include "change_records.h"
#include "commands.h"
#include "report.h"
#include "update_requests.h"
#include "update_run.h"
#include "usage_error.h"

namespace qords {
namespace {

// The LDIF input of a command: the file of -f, else (or for "-f -") standard input, on a
// terminal with a word that it is being read.
class LdifInput {
public:
    explicit LdifInput(const Context &context) {
        const Settings &settings = context.settings();
        if (settings.input_file && *settings.input_file != "-") {
            name_ = *settings.input_file;
            file_ = std::make_unique<std::ifstream>(name_, std::ios::binary);
            if (!*file_) throw UsageError("cannot read " + name_);
            return;
        }
        name_ = "standard input";
        if (::isatty(STDIN_FILENO) != 0)
            std::fprintf(stderr, "qords: %s: reading LDIF from standard input (end it with Ctrl-D)\n",
                         context.invocation.command.c_str());
    }

    std::istream &stream() { return file_ ? *file_ : std::cin; }
    const std::string &name() const { return name_; }

    // All of the input, for the commands that read one request from it.
    std::string text() {
        std::string all{std::istreambuf_iterator<char>(stream()), std::istreambuf_iterator<char>()};
        if (stream().bad()) throw UsageError("cannot read " + name_);
        return all;
    }

private:
    std::string name_;
    std::unique_ptr<std::ifstream> file_;
};

// The one request the command names, read from the input: LdifError reported as input error.
template <typename Read>
auto from_input(LdifInput &input, Read read) {
    try {
        return read(input.text());
    } catch (const LdifError &error) {
        throw UsageError(input.name() + ", " + error.what());
    }
}

void check_dn(const std::string &given, const std::string &in_input) {
    if (!same_dn(given, in_input)) throw UsageError("the input is for \"" + in_input + "\", not for \"" + given + "\"");
}

void refuse_input_file(const Context &context, const char *arguments) {
    if (context.settings().input_file)
        throw UsageError(std::string("-f gives the input of ") + context.invocation.command + ", which then takes no " +
                         arguments);
}

int apply_one(const Context &context, const UpdateRequest &request) {
    UpdateSender sender(context);
    return sender.apply(request, request_title(request));
}

}  // namespace

int run_add(const Context &context) {
    const std::vector<std::string> &arguments = context.arguments();
    if (arguments.empty()) {
        LdifInput input(context);
        return apply_records(context, input.stream(), input.name(), UntypedRecord::add);
    }
    UpdateRequest request;
    request.type = ChangeType::add;
    request.dn = arguments[0];
    if (arguments.size() > 1) {
        refuse_input_file(context, "ATTR=VALUE arguments");
        request.attributes = group_assignments(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    } else {
        LdifInput input(context);
        const ChangeRecord entry = from_input(input, ldif_entry);
        if (entry.dn) check_dn(request.dn, *entry.dn);
        request = update_request(entry, request.dn);
    }
    return apply_one(context, request);
}

int run_modify(const Context &context) {
    const std::vector<std::string> &arguments = context.arguments();
    if (arguments.empty()) {
        LdifInput input(context);
        return apply_records(context, input.stream(), input.name(), UntypedRecord::modify);
    }
    UpdateRequest request;
    request.type = ChangeType::modify;
    request.dn = arguments[0];
    if (arguments.size() == 1) {
        LdifInput input(context);
        const ChangeInput changes = from_input(input, ldif_changes);
        for (const std::string &named : changes.dns) check_dn(request.dn, named);
        request.modifications = modifications_of(changes.changes);
    } else {
        refuse_input_file(context, "change arguments");
        if (arguments.size() < 3) throw UsageError("modify DN " + arguments[1] + " needs an attribute");
        const std::vector<std::string> values(arguments.begin() + 3, arguments.end());
        request.modifications.push_back(
            modification(operation_named(arguments[1]), text_attribute(arguments[2], values)));
    }
    return apply_one(context, request);
}

int run_rename(const Context &context) {
    const Settings &settings = context.settings();
    UpdateRequest request;
    request.type = ChangeType::rename;
    request.dn = context.arguments()[0];
    request.rename.new_rdn = context.arguments()[1];
    request.rename.new_superior = settings.new_superior;
    request.rename.delete_old_rdn = !settings.keep_old_rdn;
    return apply_one(context, request);
}

int run_delete(const Context &context) {
    UpdateRequest request;
    request.type = ChangeType::remove;
    request.dn = context.arguments()[0];
    return apply_one(context, request);
}

}  // namespace qords
