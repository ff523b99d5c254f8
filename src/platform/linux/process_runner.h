// Runs one program from an already opened descriptor, so that exactly the
// file that was checked is the one that starts: no shell, a fixed argument
// list and environment, standard input from /dev/null, in a process group
// of its own. Reading stops at the deadline even when a child the program
// started still holds the pipe; then the whole group is killed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morvane {

struct ProcessSpec {
    int executable = -1;            // open for reading; not closed here
    std::vector<std::string> argv;  // argv[0] is the path shown to the program
    std::vector<std::string> env;
    std::int64_t timeoutMillis = 0;
    bool mergeErrors = false;       // standard error joins standard output; else /dev/null
    std::size_t maxOutputBytes = 0; // kept; the rest is read and dropped
};

struct ProcessOutcome {
    int status = -1;  // the exit code, or -1 after a signal or the deadline
    std::string output;
    bool timedOut = false;
    // Set when nothing ran: "no pipe", or the errno of the failed start.
    std::optional<std::string> noPipe;
    std::optional<int> startErrno;
};

ProcessOutcome runProcess(const ProcessSpec& spec);

}  // namespace morvane
