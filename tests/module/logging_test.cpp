// A host that never linked the logging library loads the module at run time:
// the module's log line must reach libkeldor's err, never the C library's
// err(3), which would print its own text and end the process.
#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <xolest/xolest.h>

#include "support/driver_call.h"

namespace {

// Exit codes of the child that loads the module.
constexpr int CHILD_OK = 0;
constexpr int CHILD_KELDOR_PRELOADED = 3;
constexpr int CHILD_NO_MODULE = 4;
constexpr int CHILD_NO_ENTRY = 5;
constexpr int CHILD_WRONG_RESULT = 6;

struct Outcome {
    int status = -1;
    std::string stderrText;
};

// Loads the module in a child whose standard error goes to a pipe, opens a
// port that does not exist and reports how it went.
Outcome OpenMissingPortInChild(int dlopenFlags) {
    Outcome outcome;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return outcome;
    }
    const pid_t child = fork();
    if (child < 0) {
        return outcome;
    }
    if (child == 0) {
        close(pipeFds[0]);
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[1]);
        if (dlopen("libkeldor.so.1", RTLD_NOW | RTLD_NOLOAD) != nullptr) {
            _exit(CHILD_KELDOR_PRELOADED);
        }
        void* module = dlopen(XOL_MODULE_PATH, dlopenFlags);
        if (module == nullptr) {
            _exit(CHILD_NO_MODULE);
        }
        auto xolMain = reinterpret_cast<XolMainFunction>(dlsym(module, "XolMain"));
        if (xolMain == nullptr) {
            _exit(CHILD_NO_ENTRY);
        }
        static DriverContext context;
        OpenRequest open{};
        std::strcpy(open.name, "xolNoTty");
        open.enabled = 1;
        open.timeout = 4;
        open.settings = PortSettings{2400, 8, 0, 2};
        const int32_t result = xoltest::CallDriver(xolMain, &context, FC_OPEN_CHANNEL, &open);
        // Still running: the host goes on after a failed open.
        if (result != RC_FAILED ||
            xoltest::CallDriver(xolMain, &context, FC_CLOSE_CHANNEL) != RC_DONE) {
            _exit(CHILD_WRONG_RESULT);
        }
        _exit(CHILD_OK);
    }
    close(pipeFds[1]);
    char buffer[512];
    ssize_t n = 0;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        outcome.stderrText.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

TEST(ModuleLogging, FailedOpenIsLoggedThroughTheHostLibraryAndTheHostRunsOn) {
    for (int flags : {RTLD_NOW | RTLD_LOCAL, RTLD_LAZY | RTLD_GLOBAL}) {
        SCOPED_TRACE(flags);
        const Outcome outcome = OpenMissingPortInChild(flags);
        EXPECT_EQ(outcome.status, CHILD_OK) << outcome.stderrText;
        EXPECT_EQ(outcome.stderrText, "XOLEST : Fail to open xolNoTty\n");
    }
}

} // namespace
