#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qordstest {
namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        read_end = fds[0];
        write_end = fds[1];
    }
};

void close_fd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Opens a pseudo-terminal; the master descriptor and the slave's path.
int open_terminal(std::string &slave_path) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("no pseudo-terminal");
    slave_path = ::ptsname(master);
    return master;
}

}  // namespace

Outcome run_child(const std::string &program, const std::vector<std::string> &arguments, const ChildOptions &options) {
    ::signal(SIGPIPE, SIG_IGN);   // a child that exits before reading all its input
    Pipe in, out, err;
    std::string slave_path;
    int master = options.terminal_answer ? open_terminal(slave_path) : -1;

    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (const auto &[name, value] : options.environment) env_text.push_back(name + "=" + value);
    std::vector<char *> envp;
    for (std::string &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::setsid();
        if (!slave_path.empty()) {
            const int slave = ::open(slave_path.c_str(), O_RDWR);   // becomes the controlling terminal
            if (slave < 0) ::_exit(126);
            ::ioctl(slave, TIOCSCTTY, 0);
        }
        ::dup2(in.read_end, 0);
        const int output = options.output_file.empty()
                               ? out.write_end
                               : ::open(options.output_file.c_str(),
                                        O_WRONLY | O_CREAT | (options.append_output ? O_APPEND : 0), 0600);
        if (output < 0) ::_exit(125);
        ::dup2(output, 1);
        ::dup2(err.write_end, 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    close_fd(in.read_end);
    close_fd(out.write_end);
    close_fd(err.write_end);
    ::fcntl(in.write_end, F_SETFL, O_NONBLOCK);
    if (options.input.empty()) close_fd(in.write_end);

    Outcome outcome;
    size_t written = 0;
    bool answered = false;
    const auto deadline = Clock::now() + options.limit;
    while (out.read_end >= 0 || err.read_end >= 0) {
        std::vector<pollfd> fds;
        if (out.read_end >= 0) fds.push_back({out.read_end, POLLIN, 0});
        if (err.read_end >= 0) fds.push_back({err.read_end, POLLIN, 0});
        if (in.write_end >= 0) fds.push_back({in.write_end, POLLOUT, 0});
        if (master >= 0) fds.push_back({master, POLLIN, 0});
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            outcome.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left));
        if (ready < 0 && errno != EINTR) break;
        for (const pollfd &p : fds) {
            if (p.revents == 0) continue;
            if (p.fd == in.write_end) {
                const ssize_t n = ::write(in.write_end, options.input.data() + written, options.input.size() - written);
                if (n > 0) written += static_cast<size_t>(n);
                if (n < 0 && errno != EAGAIN) written = options.input.size();
                if (written == options.input.size()) close_fd(in.write_end);
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
            if (p.fd == master) {
                if (n <= 0) {
                    close_fd(master);   // the child closed its terminal
                    continue;
                }
                outcome.terminal.append(buffer, static_cast<size_t>(n));
                if (!answered && outcome.terminal.find(options.prompt) != std::string::npos) {
                    answered = true;
                    // Give the program a moment to turn echo off after its prompt: wait until
                    // the terminal's echo flag is clear, at most a second.
                    for (int i = 0; i < 1000; ++i) {
                        termios mode{};
                        if (::tcgetattr(master, &mode) == 0 && (mode.c_lflag & ECHO) == 0) break;
                        ::usleep(1000);
                    }
                    const std::string typed = *options.terminal_answer + "\n";
                    if (::write(master, typed.data(), typed.size()) < 0) close_fd(master);
                }
                continue;
            }
            std::string &sink = p.fd == out.read_end ? outcome.out : outcome.err;
            if (n > 0) {
                sink.append(buffer, static_cast<size_t>(n));
            } else {
                if (p.fd == out.read_end) close_fd(out.read_end);
                else close_fd(err.read_end);
            }
        }
    }
    close_fd(in.write_end);
    close_fd(out.read_end);
    close_fd(err.read_end);
    close_fd(master);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return outcome;
}

}  // namespace qordstest
