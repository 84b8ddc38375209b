// The host log: standard error, or the file named by QORHOST_LOG (appended to).
#pragma once

#include <string_view>

namespace qorhost {

// Writes `text` to the host log in one write, so lines of different threads do not interleave.
void write_log(std::string_view text);

// Writes `text` and a line break.
void log_line(std::string_view text);

}  // namespace qorhost
