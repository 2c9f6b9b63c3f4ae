// The MQTT output: a libmosquitto client on its own thread, fed from the
// journal (or memory). Retained states under PREFIX/ID/, each event on
// `event` (QoS 1) in order from the one after the last the broker
// acknowledged, a last will "offline" on `availability`, reconnects backing
// off from 1 s to 60 s, and Home Assistant's discovery when asked.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "outputs/mqtt_forms.h"
#include "outputs/mqtt_status.h"
#include "outputs/output_feed.h"

namespace xolhost {

class CommandQueue;

class MqttOutput {
public:
    // `commands`: where command/ADDRESS/set goes (with settings.commands).
    MqttOutput(MqttSettings settings, std::unique_ptr<OutputFeed> feed, CommandQueue* commands);
    ~MqttOutput();
    MqttOutput(const MqttOutput&) = delete;
    MqttOutput& operator=(const MqttOutput&) = delete;

    EventSink& sink() { return *feed_; }
    // Publishes "offline", disconnects and ends the thread.
    void stop();
    // Thread-safe.
    MqttStatus status() const;

private:
    struct Session;
    void run();

    MqttSettings settings_;
    std::unique_ptr<OutputFeed> feed_;
    CommandQueue* commands_;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> connects_{0};
    std::thread thread_;
};

} // namespace xolhost
