// Declarations of the host services the codec calls, generated from codec_services.def. Each name
// is a stub of the codec (stubs.S) that jumps into the host; to a caller it is the service itself.
#pragma once

#include "abi/host_types.h"

extern "C" {
#define QOR_SERVICE(result, name, module, entry, parameters) result name parameters;
#include "codec_services.def"
#undef QOR_SERVICE
}
