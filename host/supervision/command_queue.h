// Commands handed to the supervising thread, which alone calls the driver:
// any thread queues one and waits for its result; the supervising thread
// runs them between scans.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "supervision/panel.h"

namespace xolhost {

struct QueuedCommand {
    std::string address;
    uint16_t value = 0;
    std::string origin; // who sent it ("127.0.0.1", "mqtt")
    std::promise<CommandResult> outcome;
};

class CommandQueue {
public:
    // Queues a command; nothing once the queue is closed.
    std::optional<std::future<CommandResult>> push(std::string address, uint16_t value,
                                                   std::string origin);
    // The next command, waiting for one until `until`; null when none came.
    std::shared_ptr<QueuedCommand> next(std::chrono::steady_clock::time_point until);
    // Answers every queued command with `why` and refuses later ones.
    void close(const std::string& why);

private:
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::shared_ptr<QueuedCommand>> commands_;
    bool closed_ = false;
};

} // namespace xolhost
