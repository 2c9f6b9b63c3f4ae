// Interrupts on Windows: the console's control events (Ctrl-C, Ctrl-Break,
// the window closing) arrive on a thread the system starts for each one.
#include "platform/interrupts.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace xolhost {

namespace {

// The handler takes no argument: the one Interrupts of the program.
std::atomic<Interrupts*> current{nullptr};
std::atomic<int>* countOf = nullptr;
std::atomic<int>* firstOf = nullptr;
bool cursorOn = false;

const char* EventName(int event) {
    switch (event) {
    case CTRL_C_EVENT:
        return "SIGINT";
    case CTRL_BREAK_EVENT:
        return "SIGBREAK";
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        return "SIGTERM";
    default:
        return "";
    }
}

void Say(const std::string& text) {
    // The line may hold the elapsed-time indicator: start afresh.
    std::string line = (cursorOn ? "\r\033[K" : "") + text;
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

BOOL WINAPI OnControl(DWORD event) {
    if (current.load() == nullptr) {
        return FALSE;
    }
    if (countOf->fetch_add(1) == 0) {
        *firstOf = static_cast<int>(event);
        Say(event == CTRL_C_EVENT ? "xolhost: stopping once the running call has finished "
                                    "(press Ctrl-C again to quit at once)\n"
                                  : std::string("xolhost: ") + EventName(event) +
                                        ": stopping once the running call has finished\n");
    } else {
        Say("xolhost: quitting at once\n");
        std::_Exit(130);
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process when this returns: give the running
        // call and the channel's close the few seconds it allows.
        Sleep(4000);
    }
    return TRUE;
}

} // namespace

Interrupts::Interrupts(bool cursor) : cursor_(cursor) {
    countOf = &count_;
    firstOf = &first_;
    first_ = -1;
    cursorOn = cursor;
    current = this;
    SetConsoleCtrlHandler(OnControl, TRUE);
}

Interrupts::~Interrupts() {
    SetConsoleCtrlHandler(OnControl, FALSE);
    current = nullptr;
}

const char* Interrupts::name() const {
    return count_.load() > 0 ? EventName(first_.load()) : "";
}

bool Interrupts::sleep(std::chrono::milliseconds duration) const {
    auto until = std::chrono::steady_clock::now() + duration;
    while (!requested()) {
        auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::milliseconds::zero()) {
            return true;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
    return false;
}

} // namespace xolhost
