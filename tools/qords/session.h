// Opening the directory session a command works on, with the settings of the command line.
#pragma once

#include <optional>

#include "commands.h"
#include "qorldap/qorldap.hpp"

namespace qords {

// What a command needs of its session.
enum class BaseUse {
    needed,  // the base DN counts (search, expand): from -b, else the module's own lookup
    unused,  // the command names its entries itself: an empty base stands in when -b is not given
};

// Opens `session` with the settings: host options first, then dsopen with what the command line
// gave (null or 0 for the rest, so the module looks them up), then the limits (dsopt) and the
// result cache. On failure the reason is reported and the exit status answered; on success
// nullopt.
std::optional<int> open_session(const Context &context, BaseUse base_use, qorldap::Session &session);

}  // namespace qords
