// Host formats: printf formats in which "%n" is a line break.
#pragma once

#include <string>

namespace qorhost {

// The C format for a host format. "%n" becomes a line break. Every other directive is kept only
// when it is an ordinary printf conversion with a modest width and precision; from the first
// directive that is not (a "%n" with modifiers, a positional "%1$", an unknown conversion, a
// width over 4096), the rest of the format is kept as literal text, so no argument is consumed
// by a conversion the caller did not mean and nothing is ever written through an argument.
std::string c_format(const char *format);

}  // namespace qorhost
