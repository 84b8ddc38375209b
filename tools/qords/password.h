// The bind password from the places qords can take it: the command line, a file, or the
// terminal (asked without echo), or without a terminal the first line of standard input.
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
// comes back even when the program is interrupted meanwhile. Without a controlling terminal the
// first line of standard input is the answer (read byte by byte, so that the input after it is
// left for the command). PasswordError when the terminal or the input ends before a line.
std::string ask_password(const std::string &prompt);

// The password the settings name, or nullopt when they name none (the module then looks for
// LDAP_BINDPW itself). Read before a command reads its own input, so that a password given on
// standard input comes first.
std::optional<std::string> bind_password(const Settings &settings);

}  // namespace qords
