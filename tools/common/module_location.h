// Where the host programs of this project (qords, qorinfo) find the directory module image.
#pragma once

#include <string>

namespace qortools {

// The first directory of QORHOST_MODULE_PATH (colon-separated) that holds qorldap.so; else the
// module beside the running program: in the build tree (bin/../modules), else where an install
// puts it (bin/../lib/qorldap). When none is there, the build tree's path, for the message that
// it cannot be loaded.
std::string module_path();

}  // namespace qortools
