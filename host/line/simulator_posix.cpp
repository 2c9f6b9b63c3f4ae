#include "line/simulator.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "panel.h"
#include "platform/exit_codes.h"
#include "scenario.h"

namespace xolhost {

namespace {

class InProcessPanel : public SimulatedPanel {
public:
    InProcessPanel(xolsim::Scenario scenario, xolsim::TraceSink trace)
        : panel_(std::move(scenario), xolsim::FaultOptions{}, std::move(trace)) {}
    std::string devicePath() const override { return panel_.devicePath(); }

private:
    xolsim::PtyPanel panel_;
};

} // namespace

std::unique_ptr<SimulatedPanel>
StartSimulatedPanel(const std::string& scenarioFile,
                    std::function<void(const std::string& line)> trace) {
    xolsim::Scenario scenario;
    try {
        scenario =
            scenarioFile.empty() ? xolsim::DefaultScenario() : xolsim::LoadScenario(scenarioFile);
    } catch (const xolsim::ScenarioError& e) {
        throw UsageError(fmt::format("scenario {}", e.what()));
    } catch (const nlohmann::json::exception& e) {
        // The scenario reader lets some of the JSON parser's own errors
        // through (a number too large for a double, for one).
        throw UsageError(
            fmt::format("scenario {}: not a usable JSON file ({})", scenarioFile, e.what()));
    }
    return std::make_unique<InProcessPanel>(std::move(scenario), std::move(trace));
}

} // namespace xolhost
