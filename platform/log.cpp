// The host log's destination. Writes are single write(2) calls on an O_APPEND descriptor, so
// concurrent writers, in this process or another, never interleave within a line.
#include "log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "control_block.h"
#include "qorldap/qorhost.h"

namespace qorhost {
namespace {

std::mutex log_lock;
int log_fd = STDERR_FILENO;  // guarded by log_lock

// Opens `path` for appending, or answers -1.
int open_for_append(const char *path) {
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

void replace_destination(int fd) {
    std::lock_guard lock(log_lock);
    if (log_fd != STDERR_FILENO) {
        close(log_fd);
    }
    log_fd = fd;
}

}  // namespace

void open_log_from_environment() {
    const char *path = std::getenv("QORHOST_LOG");
    if (path == nullptr || *path == '\0') {
        return;
    }
    const int fd = open_for_append(path);
    if (fd < 0) {
        log_line(std::string("qorhost: cannot open the log file ") + path + "; logging to standard error");
        return;
    }
    replace_destination(fd);
}

void write_log(std::string_view text) {
    std::lock_guard lock(log_lock);
    const char *next = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(log_fd, next, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        next += written;
        left -= static_cast<size_t>(written);
    }
}

void log_line(std::string_view text) {
    std::string line(text);
    line += '\n';
    write_log(line);
}

}  // namespace qorhost

extern "C" int qorhost_set_log(const char *path) {
    qorhost::ensure_started();
    if (path == nullptr) {
        qorhost::replace_destination(STDERR_FILENO);
        return 0;
    }
    const int fd = qorhost::open_for_append(path);
    if (fd < 0) {
        return -1;
    }
    qorhost::replace_destination(fd);
    return 0;
}
