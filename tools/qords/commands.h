// The commands of qords: what each one needs and does. Every command answers an exit status
// (report.h) and writes its results to standard output, its failures to standard error.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "cli.h"
#include "module.h"

namespace qords {

struct Context {
    const Invocation &invocation;
    const Module &module;
    // The bind password of -w, -y or -W, read before the command starts (nullopt: none given).
    const std::optional<std::string> &password;
    const Settings &settings() const { return invocation.settings; }
    const std::vector<std::string> &arguments() const { return invocation.arguments; }
};

using CommandHandler = int (*)(const Context &);

struct Command {
    std::string_view name;
    std::string_view synopsis;  // arguments after the name
    std::string_view help;      // what it does, for "qords COMMAND --help"
    size_t min_arguments;
    size_t max_arguments;  // SIZE_MAX: no limit
    CommandHandler run;
    bool uses_server = true;  // false: needs no session (and no password)
};

// The command of that name, or null.
const Command *find_command(std::string_view name);

// The help of qords as a whole, and of one command.
std::string_view general_help();
std::string command_help(const Command &command);

// UsageError for a FILTER that is empty or only blanks.
void check_filter(const std::string &filter);

int run_search(const Context &context);
int run_read(const Context &context);
int run_expand(const Context &context);
int run_add(const Context &context);
int run_modify(const Context &context);
int run_delete(const Context &context);
int run_rename(const Context &context);
int run_compare(const Context &context);
int run_isclass(const Context &context);
int run_parent(const Context &context);
int run_hostname(const Context &context);
int run_bench(const Context &context);

}  // namespace qords
