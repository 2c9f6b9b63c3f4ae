// Runs a program with its output captured, for tests that spawn xolhost and
// xolpanel, and the few things every such test does with what comes back.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/loopback.h"

namespace xoltest {

// xolhost's exit codes, as its users see them.
constexpr int EXIT_DONE = 0;
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_FAILED = 2;
constexpr int EXIT_MODULE = 3;
constexpr int EXIT_USAGE = 64;
constexpr int EXIT_OUTPUT = 74;
constexpr int EXIT_INTERRUPTED = 130;

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
    pid_t pid() const { return pid_; }
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
    std::string stateFolder_;
};

Finished Run(const std::vector<std::string>& argv,
             std::chrono::milliseconds limit = std::chrono::seconds(30));

// xolhost with the given arguments; the module is found by its default rule.
Finished RunXolhost(std::vector<std::string> args);
// xolhost against the panel on `device`: --port, then the given arguments.
Finished RunXolhostOn(const std::string& device, std::vector<std::string> args);

// One JSON document; a test failure (and an empty object) when it is none.
nlohmann::json ParseJson(const std::string& text);
// One JSON document per line, as monitor and recordings write them.
std::vector<nlohmann::json> ParseJsonLines(const std::string& text);

bool Contains(const std::string& text, const std::string& part);

// Writes a file that holds a secret (a token, a key) readable by its owner
// only, as xolhost asks of such files; returns its path.
std::string WriteSecret(const std::string& path, const std::string& text);

// Long campaigns run in the plain tree only; under a sanitizer they are
// skipped (XOL_SANITIZED), as they add time and no finding there.
#ifdef XOL_SANITIZED
#define XOL_SKIP_LONG_CAMPAIGN() GTEST_SKIP() << "a long campaign: it runs in the plain tree"
#else
#define XOL_SKIP_LONG_CAMPAIGN() (void)0
#endif

} // namespace xoltest
