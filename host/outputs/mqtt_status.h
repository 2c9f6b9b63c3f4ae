// What the MQTT output is doing, for /metrics and the like.
#pragma once

#include <cstdint>

namespace xolhost {

struct MqttStatus {
    bool connected = false;
    uint64_t waiting = 0;          // events not yet acknowledged by the broker
    uint64_t lastAcknowledged = 0; // sequence number; 0: none yet
    uint64_t dropped = 0;          // let go by the memory queue (no journal)
    uint64_t connects = 0;         // connections made
};

} // namespace xolhost
