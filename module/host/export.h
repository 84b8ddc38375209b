// Visibility of the module's names. The module is compiled with hidden visibility; every name
// that hosts, the loader and tests reach is marked QOR_EXPORT and keeps C linkage.
#pragma once

#define QOR_EXPORT extern "C" __attribute__((visibility("default")))
