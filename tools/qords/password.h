// The bind password from the places qords can take it: the command line, a file, or the
// terminal (asked without echo).
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "cli.h"

namespace qords {

class PasswordError : public std::runtime_error {
public:
    explicit PasswordError(const std::string &message) : std::runtime_error(message) {}
};

// The first line of `path` (without its line break); PasswordError when it cannot be read.
std::string read_password_file(const std::string &path);

// Asks on the controlling terminal with `prompt`, echo off while the answer is typed; the echo
// comes back even when the program is interrupted meanwhile. PasswordError when there is no
// terminal or the input ends before a line.
std::string ask_password(const std::string &prompt);

// The password the settings name, or nullopt when they name none (the module then looks for
// LDAP_BINDPW itself).
std::optional<std::string> bind_password(const Settings &settings);

}  // namespace qords
