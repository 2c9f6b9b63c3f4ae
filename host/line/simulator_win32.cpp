// --simulate on Windows: the simulator runs on a pseudo-terminal, which
// Windows does not have.
#include "line/simulator.h"

#include "platform/exit_codes.h"

namespace xolhost {

std::unique_ptr<SimulatedPanel> StartSimulatedPanel(const std::string&,
                                                    std::function<void(const std::string&)>) {
    throw UsageError("--simulate is not available on Windows: the panel simulator needs a "
                     "pseudo-terminal; run xolpanel on Linux and name the port it is "
                     "reached through with --port");
}

} // namespace xolhost
