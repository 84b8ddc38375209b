// Limits and the port map, from the environment at start and from the runtime's API afterwards.
#pragma once

#include <cstdint>

namespace qorhost {

int connect_timeout_ms();
int read_timeout_ms();
int32_t max_message();

// The port a connection to `port` goes to (the port itself when it is not mapped).
int mapped_port(int port);

// The encoding number of an iconv name (case-insensitive, common aliases too), or -1.
int encoding_number(const char *name);

// The iconv name of an encoding number, or null when the number is unknown.
const char *encoding_name(int encoding);

}  // namespace qorhost
