// Stopping a program whose calls into the driver must not be cut short:
// the first interrupt (Ctrl-C, SIGTERM, SIGHUP) is only noted, the running
// call finishes, then the program closes its channel and ends; a second one
// ends the program at once. interrupts_posix.cpp takes the signals on Linux.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace xolhost {

class Interrupts {
public:
    // Blocks the signals in the calling thread, and so in every thread
    // started after it, and takes them on a thread of its own. Call before
    // starting any other thread. `cursor`: standard error takes cursor codes.
    explicit Interrupts(bool cursor);
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    bool requested() const { return count_.load() > 0; }
    // The name of the first interrupt ("SIGINT"), or an empty text.
    const char* name() const;
    // Waits up to `duration`; false when an interrupt came first.
    bool sleep(std::chrono::milliseconds duration) const;

private:
    std::atomic<int> count_{0};
    std::atomic<int> first_{0};
    bool cursor_;
    std::thread thread_;
};

} // namespace xolhost
