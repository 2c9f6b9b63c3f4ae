// The commands of xolhost: one table of their names, whether they need a
// panel, what they run, and the words of their help.
#pragma once

#include <span>
#include <string_view>

namespace xolhost {

struct Options;
struct LineSettings;
class DriverModule;
class Interrupts;
class Output;
class PanelLine;

// What a command runs with.
struct CommandContext {
    const Options& options;
    DriverModule& module;
    Interrupts& interrupts;
    Output& out;
    // Commands that need a panel: the channel, open, and the settings it
    // was opened with (to open it again).
    PanelLine* line = nullptr;
    const LineSettings* lineSettings = nullptr;
};

struct CommandSpec {
    std::string_view name;
    bool needsPanel;
    int (*run)(CommandContext& context); // returns the exit code
    std::string_view summary;            // one line for --help
    std::string_view examples;           // lines of examples, each ending in a newline
};

std::span<const CommandSpec> CommandTable();
// Null for a name that is no command.
const CommandSpec* FindCommand(std::string_view name);

int RunDescribe(CommandContext& context);
int RunCheck(CommandContext& context);
int RunScan(CommandContext& context);
int RunRead(CommandContext& context);
int RunWrite(CommandContext& context);
int RunMonitor(CommandContext& context);
int RunServe(CommandContext& context);
int RunJournal(CommandContext& context);
int RunConfig(CommandContext& context);

} // namespace xolhost
