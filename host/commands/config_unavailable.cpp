// Builds without a TOML reader (Windows): --config and config are refused.
#include <CLI/CLI.hpp>

#include "commands/command_table.h"
#include "commands/config_file.h"
#include "commands/options.h"
#include "platform/exit_codes.h"

namespace xolhost {

namespace {

constexpr const char* UNAVAILABLE = "configuration files are not available in this build of "
                                    "xolhost (it has no TOML reader): give the options on the "
                                    "command line";

} // namespace

void AddConfigOption(CLI::App& app, Options& options) {
    app.add_option("--config", options.configFile, "Not available in this build")
        ->type_name("FILE")
        ->check(CLI::Validator([](const std::string&) { return std::string(UNAVAILABLE); }, ""));
}

void NoteCommandLine(const CLI::App&, Options&) {}

int RunConfig(CommandContext&) {
    throw UsageError(UNAVAILABLE);
}

} // namespace xolhost
