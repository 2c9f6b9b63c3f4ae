#include "platform/interrupts.h"

#include <csignal>
#include <cstring>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace xolhost {

namespace {

sigset_t Signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1); // ends the waiting thread when the program ends normally
    return set;
}

const char* SignalName(int signal) {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "";
    }
}

void Say(bool cursor, const std::string& text) {
    // The line may hold the elapsed-time indicator: start afresh.
    std::string line = (cursor ? "\r\033[K" : "") + text;
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

} // namespace

Interrupts::Interrupts(bool cursor) : cursor_(cursor) {
    // A reader that goes away (xolhost monitor | head) makes writes to
    // standard output fail with EPIPE, which ends the command with exit
    // status 74, instead of killing the program with its channel open.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t set = Signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    thread_ = std::thread([this] {
        sigset_t wanted = Signals();
        for (;;) {
            int signal = 0;
            if (sigwait(&wanted, &signal) != 0 || signal == SIGUSR1) {
                return;
            }
            if (count_.fetch_add(1) == 0) {
                first_ = signal;
                Say(cursor_, signal == SIGINT
                                 ? "xolhost: stopping once the running call has finished "
                                   "(press Ctrl-C again to quit at once)\n"
                                 : std::string("xolhost: ") + SignalName(signal) +
                                       ": stopping once the running call has finished\n");
            } else {
                Say(cursor_, "xolhost: quitting at once\n");
                ::_exit(130);
            }
        }
    });
}

Interrupts::~Interrupts() {
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
}

const char* Interrupts::name() const {
    return SignalName(first_.load());
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
