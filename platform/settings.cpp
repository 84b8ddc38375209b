// Runtime settings: connect and read bounds, the largest message, the port map and the host
// encoding. Environment values that do not parse are reported on the log and left at defaults.
#include "settings.h"

#include <strings.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "control_block.h"
#include "log.h"
#include "qorldap/qorhost.h"

namespace qorhost {
namespace {

constexpr int kDefaultConnectTimeoutMs = 10000;
constexpr int kDefaultReadTimeoutMs = 30000;
constexpr long kDefaultMaxMessage = 64L * 1024 * 1024;

std::atomic<int> connect_timeout{kDefaultConnectTimeoutMs};
std::atomic<int> read_timeout{kDefaultReadTimeoutMs};
std::atomic<int32_t> largest_message{static_cast<int32_t>(kDefaultMaxMessage)};

std::mutex port_map_lock;
std::map<int, int> port_map;  // guarded by port_map_lock

struct EncodingName {
    const char *name;
    int number;
};

// Encoding numbers; the first name of each number is the one given to iconv.
constexpr EncodingName kEncodings[] = {
    {"UTF-8", 20},       {"UTF8", 20},       {"ISO-8859-1", 1},   {"ISO8859-1", 1}, {"ISO_8859-1", 1},
    {"LATIN1", 1},       {"ISO-8859-15", 2}, {"ISO8859-15", 2},   {"LATIN-9", 2},   {"LATIN9", 2},
    {"WINDOWS-1252", 3}, {"CP1252", 3},      {"US-ASCII", 4},     {"ASCII", 4},     {"ANSI_X3.4-1968", 4},
    {"IBM037", 5},       {"CP037", 5},       {"EBCDIC-CP-US", 5}, {"IBM1047", 6},   {"CP1047", 6},
};

// A whole decimal number in [low, high], or false.
bool parse_number(std::string_view text, long low, long high, long &value) {
    long parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

// Reads a numeric environment variable into `apply`; complains about a value that does not parse.
template <typename Apply>
void numeric_variable(const char *name, long low, long high, Apply apply) {
    const char *text = std::getenv(name);
    if (text == nullptr) {
        return;
    }
    long value = 0;
    if (parse_number(text, low, high, value)) {
        apply(value);
    } else {
        log_line(std::string("qorhost: ignoring ") + name + "=" + text + " (not a number in range)");
    }
}

void set_port_mapping(int from, int to) {
    std::lock_guard lock(port_map_lock);
    if (to == 0) {
        port_map.erase(from);
    } else {
        port_map[from] = to;
    }
}

// "from=to,from=to": every well-formed pair is applied, others are reported.
void parse_port_map(std::string_view text) {
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view pair = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const size_t equals = pair.find('=');
        long from = 0;
        long to = 0;
        if (equals == std::string_view::npos || !parse_number(pair.substr(0, equals), 1, 65535, from) ||
            !parse_number(pair.substr(equals + 1), 0, 65535, to)) {
            log_line("qorhost: ignoring port map entry \"" + std::string(pair) + "\"");
            continue;
        }
        set_port_mapping(static_cast<int>(from), static_cast<int>(to));
    }
}

}  // namespace

void load_settings_from_environment() {
    numeric_variable("QORHOST_CONNECT_TIMEOUT_MS", 1, INT32_MAX, [](long v) { connect_timeout = static_cast<int>(v); });
    numeric_variable("QORHOST_READ_TIMEOUT_MS", 1, INT32_MAX, [](long v) { read_timeout = static_cast<int>(v); });
    numeric_variable("QORHOST_MAX_MESSAGE", 1, INT32_MAX, [](long v) { largest_message = static_cast<int32_t>(v); });
    if (const char *map = std::getenv("QORHOST_PORT_MAP")) {
        parse_port_map(map);
    }
    if (const char *encoding = std::getenv("QORHOST_ENCODING")) {
        long number = 0;
        int chosen =
            parse_number(encoding, 0, INT32_MAX, number) ? static_cast<int>(number) : encoding_number(encoding);
        if (chosen < 0 || encoding_name(chosen) == nullptr) {
            log_line(std::string("qorhost: ignoring QORHOST_ENCODING=") + encoding + " (unknown encoding)");
        } else {
            set_host_encoding(chosen);
        }
    }
}

int connect_timeout_ms() {
    return connect_timeout.load(std::memory_order_relaxed);
}
int read_timeout_ms() {
    return read_timeout.load(std::memory_order_relaxed);
}
int32_t max_message() {
    return largest_message.load(std::memory_order_relaxed);
}

int mapped_port(int port) {
    std::lock_guard lock(port_map_lock);
    const auto it = port_map.find(port);
    return it == port_map.end() ? port : it->second;
}

int encoding_number(const char *name) {
    if (name == nullptr) {
        return -1;
    }
    for (const EncodingName &e : kEncodings) {
        if (strcasecmp(e.name, name) == 0) {
            return e.number;
        }
    }
    return -1;
}

const char *encoding_name(int encoding) {
    for (const EncodingName &e : kEncodings) {
        if (e.number == encoding) {
            return e.name;
        }
    }
    return nullptr;
}

}  // namespace qorhost

extern "C" int qorhost_set_encoding(int encoding) {
    qorhost::ensure_started();
    if (qorhost::encoding_name(encoding) == nullptr) {
        return -1;
    }
    qorhost::set_host_encoding(encoding);
    return 0;
}

extern "C" int qorhost_encoding_number(const char *iconv_name) {
    return qorhost::encoding_number(iconv_name);
}

extern "C" int qorhost_set_connect_timeout_ms(int milliseconds) {
    qorhost::ensure_started();
    if (milliseconds <= 0) {
        return -1;
    }
    qorhost::connect_timeout = milliseconds;
    return 0;
}

extern "C" int qorhost_set_read_timeout_ms(int milliseconds) {
    qorhost::ensure_started();
    if (milliseconds <= 0) {
        return -1;
    }
    qorhost::read_timeout = milliseconds;
    return 0;
}

extern "C" int qorhost_set_max_message(long bytes) {
    qorhost::ensure_started();
    if (bytes <= 0 || bytes > INT32_MAX) {
        return -1;
    }
    qorhost::largest_message = static_cast<int32_t>(bytes);
    return 0;
}

extern "C" int qorhost_map_port(int from, int to) {
    qorhost::ensure_started();
    if (from <= 0 || from > 65535 || to < 0 || to > 65535) {
        return -1;
    }
    qorhost::set_port_mapping(from, to);
    return 0;
}
