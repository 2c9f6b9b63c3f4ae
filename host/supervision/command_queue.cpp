#include "supervision/command_queue.h"

namespace xolhost {

std::optional<std::future<CommandResult>> CommandQueue::push(std::string address, uint16_t value,
                                                             std::string origin) {
    auto command = std::make_shared<QueuedCommand>();
    command->address = std::move(address);
    command->value = value;
    command->origin = std::move(origin);
    std::future<CommandResult> outcome = command->outcome.get_future();
    if (!queue(std::move(command))) {
        return std::nullopt;
    }
    return outcome;
}

std::optional<std::future<AckResult>>
CommandQueue::pushAcknowledgement(std::optional<uint64_t> sequence, std::string operatorName,
                                  std::string client) {
    auto command = std::make_shared<QueuedCommand>();
    command->acknowledgement = true;
    command->sequence = sequence;
    command->operatorName = std::move(operatorName);
    command->origin = std::move(client);
    std::future<AckResult> outcome = command->acknowledged.get_future();
    if (!queue(std::move(command))) {
        return std::nullopt;
    }
    return outcome;
}

bool CommandQueue::queue(std::shared_ptr<QueuedCommand> command) {
    std::lock_guard lock(mutex_);
    if (closed_) {
        return false;
    }
    commands_.push_back(std::move(command));
    queued_.notify_all();
    return true;
}

std::shared_ptr<QueuedCommand> CommandQueue::next(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mutex_);
    queued_.wait_until(lock, until, [&] { return !commands_.empty(); });
    if (commands_.empty()) {
        return nullptr;
    }
    auto command = commands_.front();
    commands_.pop_front();
    return command;
}

void CommandQueue::close(const std::string& why) {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (auto& command : commands_) {
        if (command->acknowledgement) {
            command->acknowledged.set_value({false, why, {}});
        } else {
            command->outcome.set_value({RC_FAILED, why});
        }
    }
    commands_.clear();
}

} // namespace xolhost
