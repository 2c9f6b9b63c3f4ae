#include "commands/command_table.h"

#include <array>

namespace xolhost {

namespace {

constexpr std::array COMMANDS = {
    CommandSpec{"describe", false, RunDescribe, "Show the driver's description",
                "  xolhost describe\n  xolhost describe --json\n"},
    CommandSpec{"check", false, RunCheck, "Check point addresses",
                "  xolhost check P0017 o031250 '!Z'\n  xolhost check P0100 --count 1000\n"},
    CommandSpec{"scan", true, RunScan, "Run the status scan (!Z) and list the zones with a status",
                "  xolhost -p ttyUSB0 scan\n"
                "  xolhost -p /dev/serial/by-id/usb-FTDI_FT232R-if00-port0 --trace scan\n"
                "  xolhost -p ttyS0 -b 9600 --timeout 100ms --strict scan --json\n"
                "  xolhost --simulate --site site.json scan\n"},
    CommandSpec{"read", true, RunRead, "Read a point, or a block of zones with --count",
                "  xolhost -p ttyUSB0 read P0017\n  xolhost -p ttyUSB0 read '!C'\n"
                "  xolhost -p ttyUSB0 read P0015 --count 4\n"},
    CommandSpec{"write", true, RunWrite, "Write a value to a point",
                "  xolhost -p ttyUSB0 write L0012 2\n  xolhost -p ttyUSB0 write '!R' 0\n"},
    CommandSpec{"monitor", true, RunMonitor, "Scan every interval and print each change",
                "  xolhost -p ttyUSB0 monitor --interval 5 --counts\n"
                "  xolhost -p ttyUSB0 --record line.jsonl monitor --scans 20 --json\n"},
    CommandSpec{"serve", true, RunServe,
                "Monitor the panel and show it on a web page, with a JSON API",
                "  xolhost --simulate serve\n"
                "  xolhost -p ttyUSB0 --site site.json serve --listen 0.0.0.0:8080\n"
                "  xolhost -p ttyUSB0 serve --allow-commands --token-file /etc/xolhost/token\n"},
    CommandSpec{"journal", false, RunJournal, "List the events of a journal, or check it",
                "  xolhost journal --journal site.journal --since 2h\n"
                "  xolhost journal --panel-id ttyUSB0 --zone 17 --format csv\n"
                "  xolhost journal --journal site.journal --check\n"},
    CommandSpec{"config", false, RunConfig,
                "Show and check the settings of a configuration file and the command line",
                "  xolhost --config /etc/xolest/north.toml config\n"
                "  xolhost --config north.toml --port ttyUSB1 config --json\n"},
};

} // namespace

std::span<const CommandSpec> CommandTable() {
    return COMMANDS;
}

const CommandSpec* FindCommand(std::string_view name) {
    for (const CommandSpec& command : COMMANDS) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

} // namespace xolhost
