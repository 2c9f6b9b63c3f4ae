// --simulate: the panel simulator in this process, on a pseudo-terminal of
// its own. simulator_posix.cpp runs it on Linux; elsewhere it is refused.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace xolhost {

class SimulatedPanel {
public:
    virtual ~SimulatedPanel() = default;
    // The device path the panel serves ("/dev/pts/4").
    virtual std::string devicePath() const = 0;
};

// Starts a panel from the scenario file, or the built-in demo when the text
// is empty. Throws UsageError for a scenario that cannot be used and
// std::runtime_error when no pseudo-terminal can be had. `trace` receives
// the panel's own trace lines when set.
std::unique_ptr<SimulatedPanel>
StartSimulatedPanel(const std::string& scenarioFile,
                    std::function<void(const std::string& line)> trace);

} // namespace xolhost
