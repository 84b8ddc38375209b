// Runs a built program as a child process, the way a user runs it: arguments, an environment
// built from scratch, text on standard input, and optionally a terminal (a pseudo-terminal that
// becomes the child's controlling terminal) that answers the program's prompt. Every run is
// bounded in time; a program that overruns is killed and reported as such.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qordstest {

struct Outcome {
    int exit_code = -1;       // the exit status, or 128 + signal when the program was killed
    bool timed_out = false;
    std::string out;          // standard output
    std::string err;          // standard error
    std::string terminal;     // what the program wrote to its terminal
};

struct ChildOptions {
    std::map<std::string, std::string> environment;   // the whole environment of the child
    std::string input;                                 // standard input (closed after it)
    std::string output_file;                           // when set, standard output goes there
    bool append_output = false;                        // ... appended to what the file holds
    // When set: the child gets a controlling terminal, and once it has written `prompt` there,
    // this text is typed.
    std::optional<std::string> terminal_answer;
    std::string prompt = "Password";
    std::chrono::milliseconds limit{60000};
};

Outcome run_child(const std::string &program, const std::vector<std::string> &arguments, const ChildOptions &options);

}  // namespace qordstest
