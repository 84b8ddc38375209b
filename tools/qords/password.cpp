#include "password.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace qords {
namespace {

// The terminal and its settings while echo is off, for the signal handler to restore.
int g_terminal = -1;
termios g_saved{};

void restore_and_reraise(int signal_number) {
    if (g_terminal >= 0) ::tcsetattr(g_terminal, TCSAFLUSH, &g_saved);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

// Echo off on `fd` for its lifetime; restored on destruction and on the usual ending signals.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd, &saved_) != 0) return;
        g_saved = saved_;
        g_terminal = fd;
        struct sigaction action {};
        action.sa_handler = restore_and_reraise;
        ::sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        active_ = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (g_terminal < 0) return;
        if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
        for (size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
        g_terminal = -1;
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

private:
    static constexpr std::array<int, 4> kSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    int fd_;
    termios saved_{};
    std::array<struct sigaction, 4> previous_{};
    bool active_ = false;
};

void write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// One line from `fd`, read byte by byte, without its line break (and a CR before it); nullopt
// when the input ends before a line break, or, with `last_line_may_end`, before any byte.
std::optional<std::string> read_line(int fd, bool last_line_may_end) {
    std::string line;
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (last_line_may_end && !line.empty()) break;
            return std::nullopt;
        }
        if (c == '\n') break;
        line += c;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

std::string read_password_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw PasswordError("cannot read the password file " + path + ": " + std::strerror(errno));
    std::string line;
    std::getline(in, line);
    if (in.bad()) throw PasswordError("cannot read the password file " + path);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string ask_password(const std::string &prompt) {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::optional<std::string> line = read_line(STDIN_FILENO, true);
        if (!line) throw PasswordError("-W found no terminal to ask on, and no password line on standard input");
        return *line;
    }
    std::optional<std::string> answer;
    {
        write_all(fd, prompt);
        EchoOff quiet(fd);
        answer = read_line(fd, false);
    }
    ::close(fd);
    if (!answer) throw PasswordError("no password was typed");
    return *answer;
}

std::optional<std::string> bind_password(const Settings &settings) {
    switch (settings.password_source) {
    case PasswordSource::none: return std::nullopt;
    case PasswordSource::text: return settings.password;
    case PasswordSource::file: return read_password_file(settings.password_file);
    case PasswordSource::terminal:
        return ask_password(settings.bind_dn ? "Password for " + *settings.bind_dn + ": " : "Password: ");
    }
    return std::nullopt;
}

}  // namespace qords
