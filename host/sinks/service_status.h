// What the service manager hears of supervision, when there is one: before
// the first step, how long it may take; READY=1 once the first scan was
// tried; after every step a STATUS= line (the line's state, the last scan,
// the unacknowledged count) with WATCHDOG=1; between steps WATCHDOG=1 every
// quarter of the watchdog's time; STOPPING=1 when supervision ends. The
// keep-alives come from the supervising thread alone, so a call stuck in
// the module or a wedged loop stops them and the manager restarts the
// program.
#pragma once

#include <chrono>
#include <string>

#include "platform/service_manager.h"
#include "supervision/events.h"

namespace xolhost {

class ServiceStatus : public EventSink {
public:
    using Steady = std::chrono::steady_clock;

    ServiceStatus(const ServiceManager& manager, bool utc) : manager_(manager), utc_(utc) {}

    // Before the first step, which may last `longestStep`: the start is
    // given that long, and a watchdog shorter than `watchdog` is raised to
    // it. The text it returns says so, or is empty.
    std::string starting(const std::string& port, std::chrono::seconds longestStep,
                         std::chrono::seconds watchdog);
    void event(const Event&) override {}
    void state(const SupervisionState& state) override;
    // The supervising thread between steps.
    void alive();
    void stopping(const std::string& why);

private:
    void keepAlive(std::string message);

    ServiceManager manager_;
    bool utc_;
    bool ready_ = false;
    uint64_t scans_ = 0;
    std::chrono::system_clock::time_point lastScan_;
    Steady::time_point lastKeepAlive_;
};

// The STATUS= text after a step: "line open; last scan 12:00:03 done, 3
// zones in a status; 2 unacknowledged".
std::string ServiceStatusText(const SupervisionState& state,
                              std::chrono::system_clock::time_point lastScan, bool utc);

} // namespace xolhost
