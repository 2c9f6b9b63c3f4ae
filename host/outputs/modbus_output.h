// The Modbus TCP output: a server on its own thread answering reads of the
// register map from the last step's state. One poll loop serves every
// client, each with its own buffer on a non-blocking socket, so a client
// that sends nothing, or half a request, or garbage, holds up no one.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "outputs/output_feed.h"

namespace xolhost {

// "HOST:PORT", or a bare port on 127.0.0.1. UsageError when it is neither.
void ParseModbusAddress(const std::string& text, std::string& host, std::string& port);

class ModbusOutput {
public:
    // Listens at once: CommandFailure when it cannot.
    ModbusOutput(const std::string& address, std::unique_ptr<OutputFeed> feed);
    ~ModbusOutput();
    ModbusOutput(const ModbusOutput&) = delete;
    ModbusOutput& operator=(const ModbusOutput&) = delete;

    EventSink& sink() { return *feed_; }
    void stop();
    uint64_t clients() const { return clients_; }

private:
    struct Server;
    void run();

    std::unique_ptr<OutputFeed> feed_;
    std::unique_ptr<Server> server_;
    std::atomic<uint64_t> clients_{0};
    std::thread thread_;
};

} // namespace xolhost
