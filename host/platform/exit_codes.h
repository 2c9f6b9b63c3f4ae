// The program's exit codes and the failures that end it early.
#pragma once

#include <stdexcept>

namespace xolhost {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_FAILED = 2;
constexpr int EXIT_MODULE = 3;
constexpr int EXIT_USAGE = 64;
constexpr int EXIT_INTERNAL = 70;
constexpr int EXIT_OUTPUT = 74; // the results could not be written
constexpr int EXIT_INTERRUPTED = 130;

// Bad usage: reported as text on standard error, exit code 64.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command that cannot go on for a reason it names (a journal another
// process holds, say): reported on standard error, exit code 2.
class CommandFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown after a call has finished when the user asked to stop.
struct Interrupted {};

} // namespace xolhost
