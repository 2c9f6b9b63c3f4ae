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
#include <vector>

#include "supervision/panel.h"

namespace xolhost {

struct AckResult {
    bool done = false;
    std::string error;
    std::vector<uint64_t> acknowledged;
};

// A control command, or an acknowledgement of waiting events.
struct QueuedCommand {
    std::string address;
    uint16_t value = 0;
    std::string origin; // who sent it ("127.0.0.1", "mqtt")
    std::promise<CommandResult> outcome;
    bool acknowledgement = false;
    std::optional<uint64_t> sequence; // the event acknowledged; none: all waiting
    std::string operatorName;
    std::promise<AckResult> acknowledged;
};

class CommandQueue {
public:
    // Queues a command; nothing once the queue is closed.
    std::optional<std::future<CommandResult>> push(std::string address, uint16_t value,
                                                   std::string origin);
    std::optional<std::future<AckResult>> pushAcknowledgement(std::optional<uint64_t> sequence,
                                                              std::string operatorName,
                                                              std::string client);
    // The next command, waiting for one until `until`; null when none came.
    std::shared_ptr<QueuedCommand> next(std::chrono::steady_clock::time_point until);
    // Answers every queued command with `why` and refuses later ones.
    void close(const std::string& why);

private:
    bool queue(std::shared_ptr<QueuedCommand> command);

    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::shared_ptr<QueuedCommand>> commands_;
    bool closed_ = false;
};

} // namespace xolhost
