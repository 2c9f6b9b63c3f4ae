#include "interrupts.h"

#include <csignal>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace xolhost {

namespace {

sigset_t Signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1); // ends the waiting thread when the program ends normally
    return set;
}

void Say(const char* text) {
    // On a terminal the line may hold the elapsed-time indicator: start afresh.
    if (::isatty(STDERR_FILENO) == 1) {
        ssize_t ignored = ::write(STDERR_FILENO, "\r\033[K", 4);
        (void)ignored;
    }
    ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

} // namespace

Interrupts::Interrupts() {
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
                Say("xolhost: stopping once the running call has finished "
                    "(press Ctrl-C again to quit at once)\n");
            } else {
                Say("xolhost: quitting at once\n");
                ::_exit(130);
            }
        }
    });
}

Interrupts::~Interrupts() {
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
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
