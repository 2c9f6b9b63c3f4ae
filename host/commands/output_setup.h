// The outputs of monitor and serve (MQTT, Modbus TCP), started from the
// options, each fed as a sink of the supervisor. Where they are not built
// (Windows), asking for one is refused.
#pragma once

#include <memory>
#include <optional>

#include "outputs/mqtt_status.h"

namespace xolhost {

struct CommandContext;
class CommandQueue;
class EventJournal;
class Supervisor;

class Outputs {
public:
    virtual ~Outputs() = default;
    // Ends them: MQTT says "offline" first.
    virtual void stop() = 0;
    // None without --mqtt. Thread-safe.
    virtual std::optional<MqttStatus> mqttStatus() const = 0;
};

// Null when no output is asked for. UsageError for options that cannot
// work, CommandFailure when a listening socket cannot be had.
std::unique_ptr<Outputs> StartOutputs(CommandContext& context, Supervisor& supervisor,
                                      EventJournal* journal, CommandQueue& commands);

} // namespace xolhost
