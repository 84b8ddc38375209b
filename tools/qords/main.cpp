// qords: a host program that runs the directory module's functions from the command line. It
// starts the platform runtime, loads the module the way the host loader does and calls the
// directory functions through the module's vector. "qords --help" tells how.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include <algorithm>
#include <optional>

#include "cli.h"
#include "commands.h"
#include "module.h"
#include "module_location.h"
#include "password.h"
#include "report.h"
#include "usage_error.h"

#ifndef QORDS_VERSION
#error "the build gives QORDS_VERSION"
#endif

namespace {

int usage_failure(const std::string &message, const std::string &command) {
    std::fflush(stdout);
    std::fprintf(stderr, "qords: %s\nTry \"qords %s--help\".\n", message.c_str(),
                 command.empty() ? "" : (command + " ").c_str());
    return qords::kExitUsage;
}

// Checks what can be checked before the module is loaded.
const qords::Command &command_of(const qords::Invocation &invocation) {
    const qords::Command *command = qords::find_command(invocation.command);
    if (command == nullptr) throw qords::UsageError("unknown command \"" + invocation.command + "\"");
    if (invocation.settings.bench_seconds && command->name != "bench")
        throw qords::UsageError("--seconds belongs to bench");
    const size_t count = invocation.arguments.size();
    if (count < command->min_arguments)
        throw qords::UsageError(std::string(command->name) + " needs " + std::string(command->synopsis));
    if (count > command->max_arguments)
        throw qords::UsageError(
            std::string(command->name) + " takes " +
            (command->synopsis.empty() ? std::string("no arguments") : std::string(command->synopsis)));
    const qords::Settings &settings = invocation.settings;
    const bool reads_ldif = command->name == "add" || command->name == "modify";
    if (settings.input_file && !reads_ldif) throw qords::UsageError("-f belongs to add and modify");
    if (settings.keep_going && !reads_ldif) throw qords::UsageError("-c belongs to add and modify");
    const bool renames = command->name == "rename";
    if (settings.dry_run && !reads_ldif && command->name != "delete" && !renames)
        throw qords::UsageError("-n belongs to add, modify, delete and rename");
    if ((settings.new_superior || settings.keep_old_rdn) && !renames)
        throw qords::UsageError("--new-superior and --keep-old-rdn belong to rename");
    return *command;
}

int print_version() {
    std::printf("qords %s\n", QORDS_VERSION);
    std::fflush(stdout);
    const std::string path = qortools::module_path();
    const qords::Module module(path);
    std::printf("module %s: %s\n", path.c_str(), module.release().c_str());
    return qords::kExitSuccess;
}

// The password a command that talks to the server binds with, read before the command reads
// anything else (it may be the first line of standard input); wiped when the run ends.
class PasswordHolder {
public:
    PasswordHolder(const qords::Command &command, const qords::Settings &settings) {
        if (command.uses_server && !settings.dry_run) text_ = qords::bind_password(settings);
    }
    ~PasswordHolder() {
        if (text_) std::fill(text_->begin(), text_->end(), '\0');
    }
    PasswordHolder(const PasswordHolder &) = delete;
    PasswordHolder &operator=(const PasswordHolder &) = delete;
    const std::optional<std::string> &text() const { return text_; }

private:
    std::optional<std::string> text_;
};

}  // namespace

int main(int argc, char **argv) {
    qords::Invocation invocation;
    try {
        invocation = qords::parse_command_line(argc, argv);
    } catch (const qords::UsageError &error) {
        return usage_failure(error.what(), "");
    }
    if (invocation.version) {
        try {
            return print_version();
        } catch (const qords::ModuleError &error) {
            qords::report_error("module", error.what());
            return qords::kExitFailure;
        }
    }
    if (invocation.command.empty()) {
        if (invocation.help) {
            std::fputs(qords::general_help().data(), stdout);
            return qords::kExitSuccess;
        }
        return usage_failure("no command given", "");
    }
    if (invocation.help) {
        const qords::Command *command = qords::find_command(invocation.command);
        if (command == nullptr) return usage_failure("unknown command \"" + invocation.command + "\"", "");
        std::fputs(qords::command_help(*command).c_str(), stdout);
        return qords::kExitSuccess;
    }
    try {
        const qords::Command &command = command_of(invocation);
        const qords::Module module(qortools::module_path());
        const PasswordHolder password(command, invocation.settings);
        const int status = command.run(qords::Context{invocation, module, password.text()});
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            qords::report_error(invocation.command, std::string("cannot write the output: ") + std::strerror(errno));
            return qords::kExitFailure;
        }
        return status;
    } catch (const qords::UsageError &error) {
        return usage_failure(error.what(), qords::find_command(invocation.command) ? invocation.command : "");
    } catch (const qords::ModuleError &error) {
        qords::report_error("module", error.what());
        return qords::kExitFailure;
    } catch (const qords::PasswordError &error) {
        qords::report_error("password", error.what());
        return qords::kExitUsage;
    } catch (const std::exception &error) {
        qords::report_error(invocation.command, error.what());
        return qords::kExitFailure;
    }
}
