// Sockets of a session: connecting to the first reachable entry of a host list, and closing.
#include "../host/services.h"
#include "client.h"
#include "host_task.h"
#include "pool.h"

namespace {

constexpr int32_t kSocketDomain = 1;
constexpr uint32_t kSocketFlags = 0x80000000u;
// Room for one host list entry and its NUL. A longer entry cannot name a host and is skipped.
constexpr int32_t kEntryCapacity = 256;
const char kLoopback[] = "127.0.0.1";

// Connects to one entry "host" or "host:port", parsed in a working copy.
int32_t connect_to_entry(LDAPSocketBuffer *sb, const char *entry, int32_t length, int32_t default_port) {
    if (length >= kEntryCapacity) return -1;
    char host[kEntryCapacity];
    __builtin_memcpy(host, entry, static_cast<size_t>(length));
    host[length] = '\0';
    int32_t port = default_port;
    int32_t colon = wzstpos(host, length, ':');
    if (colon >= 0) {
        host[colon] = '\0';
        port = 0;   // stays 0 when no number follows the colon
        zatoi(host + colon + 1, length - colon - 1, 0, nullptr, &port);
    }
    return connect_to_host(sb, host, port);
}

}  // namespace

int32_t open_ldap_connection(LDAP *, LDAPSocketBuffer *sb, const char *host, int32_t default_port) {
    if (host == nullptr) return connect_to_host(sb, kLoopback, default_port);
    int32_t length = wzstlen(host);
    if (length == 0) return -1;

    int32_t start = 0;
    while (start < length) {
        int32_t blank = wzstpos(host + start, length - start, ' ');
        int32_t end = blank < 0 ? length : start + blank;
        if (connect_to_entry(sb, host + start, end - start, default_port) == 0) return 0;
        if (blank < 0) break;
        start = end + 1;
        while (start < length && host[start] == ' ') ++start;
    }
    return -1;
}

int32_t connect_to_host(LDAPSocketBuffer *sb, const char *host, int32_t port) {
    int32_t socket = 0;
    if (wqssock(kSocketDomain, kSocketFlags, 0, qor::current_task_handle(), &socket) != 0) return -1;
    if (wqsconn(socket, host, wzstlen(host), 0, 0, port) != 0) {
        wqsclos(socket);
        return -1;
    }
    sb->sb_socket = socket;
    return 0;
}

void close_connection(LDAPSocketBuffer *sb) {
    wqsclos(sb->sb_socket);
}
