// Declarations of the host services the module calls, generated from services.def. Each name is
// a stub of the module (stubs.S) that jumps into the host; to a caller it is the service itself.
#pragma once

#include "abi/host_types.h"

extern "C" {
#define QOR_SERVICE(result, name, module, entry, parameters) result name parameters;
#include "services.def"
#undef QOR_SERVICE
}
