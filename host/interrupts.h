// Ctrl-C for a program whose calls into the driver must not be cut short:
// the first interrupt is only noted (the running call finishes, then the
// program closes its channel and ends); a second one ends the program at once.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace xolhost {

class Interrupts {
public:
    // Blocks SIGINT and SIGTERM in the calling thread, and so in every
    // thread started after it, and takes them on a thread of its own. Call
    // before starting any other thread.
    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    bool requested() const { return count_.load() > 0; }
    // Waits up to `duration`; false when an interrupt came first.
    bool sleep(std::chrono::milliseconds duration) const;

private:
    std::atomic<int> count_{0};
    std::thread thread_;
};

} // namespace xolhost
