// Runs a program with its output captured, for tests that spawn xolhost and
// xolpanel.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace xoltest {

struct Finished {
    int exitCode = -1; // 128 + signal when killed by one
    std::string out;
    std::string err;
};

class Process {
public:
    explicit Process(const std::vector<std::string>& argv);
    ~Process(); // kills the program if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // The first line of standard output, waiting at most `limit`.
    std::string readLine(std::chrono::milliseconds limit);
    // Output gathered so far on stderr, after draining what is waiting.
    std::string errSoFar();
    void signal(int number);
    // Waits for the end (killing the program after `limit`) and gathers the rest.
    Finished wait(std::chrono::milliseconds limit = std::chrono::seconds(30));

private:
    void drain(int timeoutMs);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outText_;
    std::string errText_;
    std::size_t lineAt_ = 0;
};

Finished Run(const std::vector<std::string>& argv,
             std::chrono::milliseconds limit = std::chrono::seconds(30));

} // namespace xoltest
