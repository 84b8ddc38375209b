// The one exception qords throws for a wrong invocation or wrong input: reported as
// "qords: MESSAGE" with a pointer to --help, exit status 2.
#pragma once

#include <stdexcept>
#include <string>

namespace qords {

class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string &message) : std::runtime_error(message) {}
};

}  // namespace qords
