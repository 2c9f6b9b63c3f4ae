// Builds without the outputs (Windows, where there is no journal to feed
// them): asking for one is refused.
#include "commands/command_table.h"
#include "commands/options.h"
#include "commands/output_setup.h"
#include "platform/exit_codes.h"

namespace xolhost {

std::unique_ptr<Outputs> StartOutputs(CommandContext& context, Supervisor&, EventJournal*,
                                      CommandQueue&) {
    const Options& options = context.options;
    if (!options.mqttUrl.empty() || !options.modbus.empty()) {
        throw UsageError("--mqtt and --modbus are not available in this build of xolhost (they "
                         "are fed from the journal, which needs SQLite)");
    }
    return nullptr;
}

} // namespace xolhost
