// parent and hostname: directory functions that need no server.
#include <cstdio>
#include <vector>

#include "commands.h"
#include "report.h"

namespace qords {

namespace {

constexpr int32_t kHostNameSize = 256;

}  // namespace

int run_parent(const Context &context) {
    const std::string &name = context.arguments()[0];
    // The parent is a part of the name, so the name's own length is room enough.
    std::vector<char> parent(name.size() + 1);
    int32_t length = 0;
    context.module.directory().dsdnprnt(name.c_str(), parent.data(), static_cast<int32_t>(name.size()), &length);
    if (length <= 0) {
        report_error("parent " + name, "the name has no parent part");
        return kExitFalse;
    }
    std::fwrite(parent.data(), 1, static_cast<size_t>(length), stdout);
    std::fputc('\n', stdout);
    return kExitSuccess;
}

int run_hostname(const Context &context) {
    char buffer[kHostNameSize] = {};
    const char *name = context.module.directory().dsmynod(buffer, kHostNameSize);
    if (name == nullptr || *name == '\0') {
        report_error("hostname", "the host did not tell its name");
        return kExitFailure;
    }
    std::printf("%s\n", name);
    return kExitSuccess;
}

}  // namespace qords
