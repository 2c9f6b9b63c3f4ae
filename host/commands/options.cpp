#include "commands/options.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

#include <xolest/xolest.h>

#include "codec/control_values.h"
#include "codec/text.h"
#include "commands/command_table.h"
#include "commands/config_file.h"
#include "platform/exit_codes.h"
#include "platform/service_manager.h"

#ifndef XOLHOST_VERSION
#define XOLHOST_VERSION "unknown"
#endif

namespace xolhost {

namespace {

constexpr uint32_t MAX_TIMEOUT_TICKS = 60000;

// Parses the whole text as a finite number.
bool Number(const std::string& text, double& value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())) != 0) {
        return false;
    }
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

// Every global option with its description, for the help of each command.
std::string GlobalOptionsText(const CLI::App& app) {
    std::string text = "Global options (before or after the command):\n";
    for (const CLI::Option* option : app.get_options()) {
        std::string name = option->get_name(false, true);
        if (name == "-h,--help") {
            continue;
        }
        std::string type = option->get_type_name();
        std::string shown = type.empty() ? name : name + " " + type;
        text += fmt::format("  {:<34} {}\n", shown, option->get_description());
    }
    return text;
}

std::string TimeoutCheck(std::string& text) {
    uint32_t ticks = 0;
    std::string problem = ParseTimeout(text, ticks);
    if (problem.empty()) {
        text = std::to_string(ticks);
    }
    return problem;
}

std::string IntervalCheck(const std::string& text) {
    double seconds = 0;
    if (!Number(text, seconds)) {
        return fmt::format("\"{}\" is not a number of seconds", text);
    }
    return seconds < 0 || seconds > 86400 ? "must be 0..86400 seconds" : "";
}

} // namespace

std::string ParseTimeout(const std::string& text, uint32_t& ticks) {
    std::string number = text;
    double scale = 0; // ms per unit; 0: ticks
    if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
        number.resize(number.size() - 2);
        scale = 1;
    } else if (number.size() > 1 && number.back() == 's') {
        number.pop_back();
        scale = 1000;
    }
    double value = 0;
    if (!Number(number, value)) {
        return fmt::format("\"{}\" is not a number: give units of 10 ms (4), or milliseconds "
                           "(40ms) or seconds (0.5s)",
                           text);
    }
    if (scale == 0 && value != std::floor(value)) {
        return fmt::format("\"{}\" is not a whole number of 10 ms units (write 45ms for "
                           "milliseconds)",
                           text);
    }
    if (value == 0) {
        return "a time-out of 0 would make the driver wait for ever; give 1 or more";
    }
    double units = scale == 0 ? value : std::ceil(value * scale / 10.0);
    if (value < 0 || units > MAX_TIMEOUT_TICKS) {
        return "must be 1..60000 units of 10 ms (10 ms to 600 s)";
    }
    ticks = static_cast<uint32_t>(units);
    return {};
}

std::string NearestCommand(const std::string& word) {
    std::string best;
    std::size_t bestDistance = 3;
    for (const CommandSpec& command : CommandTable()) {
        std::size_t distance = cis::EditDistance(word, command.name);
        if (distance < bestDistance && distance < command.name.size()) {
            best = command.name;
            bestDistance = distance;
        }
    }
    return best;
}

namespace {

void AddLineOptions(CLI::App& app, Options& options) {
    app.add_option("--module", options.module,
                   "Driver module to load (default: libxolest.so.1 beside the program)")
        ->type_name("PATH");
    app.add_option("-p,--port", options.port,
                   "Serial port: ttyS0, ttyUSB0, pts/3, /dev/serial/by-id/... (links are followed)")
        ->type_name("NAME");
    app.add_option("-t,--timeout", options.timeout,
                   "Response time-out: units of 10 ms (4), or 40ms, 0.5s (default: the driver's)")
        ->transform(CLI::Validator(TimeoutCheck, ""))
        ->type_name("TIME");
    app.add_option("-b,--baud", options.baud, "Bit rate (default: the driver's)")
        ->check(CLI::Range(1u, 65535u).description(""))
        ->type_name("N");
    app.add_option("--data-bits", options.dataBits, "Data bits (default: the driver's)")
        ->check(CLI::Range(5, 8).description(""))
        ->type_name("5..8");
    app.add_option("--stop-bits", options.stopBits,
                   "Stop bits: 1, 1.5 or 2 (default: the driver's)")
        ->transform(
            CLI::CheckedTransformer(std::map<std::string, uint16_t>{{"1", 0}, {"1.5", 1}, {"2", 2}})
                .description(""))
        ->type_name("1|1.5|2");
    app.add_option("--parity", options.parity,
                   "Parity: none, odd, even, mark, space (default: the driver's)")
        ->transform(CLI::CheckedTransformer(
                        std::map<std::string, uint16_t>{
                            {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}},
                        CLI::ignore_case)
                        .description(""))
        ->type_name("NAME");
}

void AddGlobalOptions(CLI::App& app, Options& options) {
    AddLineOptions(app, options);
    app.add_flag("--json", options.json, "One JSON object per result (per line for monitor)");
    app.add_flag("--utc", options.utc,
                 "Times in UTC (ending in Z) instead of local time with its offset");
    app.add_option("--site", options.siteFile,
                   "Site file (JSON) naming zones, status codes and points")
        ->type_name("FILE");
    auto* trace =
        app.add_flag("--trace", options.trace, "Show every frame on the line, decoded, on stderr");
    auto* traceFile =
        app.add_option("--trace-file", options.traceFile, "Write the trace to this file instead")
            ->type_name("FILE");
    auto* record = app.add_option("--record", options.recordFile,
                                  "Record the line's traffic to this file (JSON lines)")
                       ->type_name("FILE");
    app.add_flag("--strict", options.strict,
                 "A scan that lost records to the line fails (exit code 2)");
    auto* direct = app.add_flag("--direct", options.direct,
                                "Let the driver open the port itself: no relay, no trace, no "
                                "line figures");
    direct->excludes(trace)->excludes(traceFile)->excludes(record);
    auto* simulate = app.add_option("--simulate", options.simulate,
                                    "Start the panel simulator on a pseudo-terminal and use it; "
                                    "an optional scenario file (default: the built-in demo)")
                         ->expected(0, 1)
                         ->type_name("[SCENARIO]");
    app.get_option("--port")->excludes(simulate);
    app.add_flag("--trace-panel", options.tracePanel,
                 "With --simulate: show the simulated panel's own trace on stderr");
    AddConfigOption(app, options);
}

// Who may look at serve's page and API, and over what.
void AddAccessOptions(CLI::App& serve, Options& options) {
    serve
        .add_option("--allowed-host", options.allowedHosts,
                    "A host name clients may use besides the listen address and localhost "
                    "(repeat for more; needed with a wildcard --listen)")
        ->type_name("NAME");
    serve
        .add_option("--read-token-file", options.readTokenFile,
                    "File holding the token every page, API and /metrics request needs "
                    "(/healthz excepted)")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    serve.add_option("--tls-cert", options.tlsCert, "TLS certificate chain (PEM): serve HTTPS")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    serve.add_option("--tls-key", options.tlsKey, "The TLS certificate's private key (PEM)")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    serve
        .add_option("--cors-origin", options.corsOrigin,
                    "The one web origin given CORS headers (none without it)")
        ->type_name("ORIGIN");
}

void AddJournalOptions(CLI::App& command, Options& options, bool supervising) {
    auto* file = command
                     .add_option("--journal", options.journalFile,
                                 supervising ? "Keep the events in this journal (default: one per "
                                               "panel under ~/.local/state/xolest/)"
                                             : "The journal to read (or name it by --panel-id)")
                     ->type_name("FILE");
    command
        .add_option("--panel-id", options.panelId,
                    supervising ? "The panel's name for its journal (default: from the port)"
                                : "The journal of this panel, in the state folder")
        ->type_name("ID");
    command
        .add_option("--keep-days", options.keepDays,
                    "Remove journal events older than this (never unacknowledged ones)")
        ->check(CLI::Range(1, 36500))
        ->type_name("DAYS");
    if (supervising) {
        command.add_flag("--no-journal", options.noJournal, "Keep no journal")->excludes(file);
    }
}

void AddJournalCommand(CLI::App* journal, Options& options) {
    AddJournalOptions(*journal, options, false);
    journal->add_option("--since", options.since, "From this time: RFC 3339, or 2h, 30min, 7d ago")
        ->type_name("TIME");
    journal->add_option("--until", options.until, "Up to this time (as --since)")
        ->type_name("TIME");
    journal->add_option("--zone", options.zone, "Only this zone's events")
        ->check(CLI::Range(1, ZONE_COUNT))
        ->type_name("N");
    journal->add_option("--event", options.eventKind, "Only events of this kind (change, ...)")
        ->type_name("KIND");
    journal->add_flag("--unacknowledged", options.unacknowledged,
                      "Only events waiting for acknowledgement");
    journal->add_option("--format", options.format, "text, csv or jsonl")
        ->check(CLI::IsMember({"text", "csv", "jsonl"}))
        ->type_name("FORMAT");
    journal->add_flag("--check", options.checkJournal, "Run SQLite's integrity check");
}

// MQTT and Modbus TCP, for monitor and serve; all off unless asked for.
void AddOutputOptions(CLI::App& command, Options& options) {
    const char* group = "Outputs";
    auto* mqtt = command
                     .add_option("--mqtt", options.mqttUrl,
                                 "Publish to this MQTT broker: mqtt://HOST:PORT, mqtts://HOST:PORT")
                     ->type_name("URL")
                     ->group(group);
    command.add_option("--mqtt-ca", options.mqttCa, "CA certificates (PEM) for mqtts://")
        ->type_name("FILE")
        ->check(CLI::ExistingFile)
        ->needs(mqtt)
        ->group(group);
    command.add_option("--mqtt-user", options.mqttUser, "User name at the broker")
        ->type_name("NAME")
        ->needs(mqtt)
        ->group(group);
    command
        .add_option("--mqtt-password-file", options.mqttPasswordFile,
                    "File holding the broker password (others may not read it)")
        ->type_name("FILE")
        ->needs(mqtt)
        ->group(group);
    command
        .add_option("--mqtt-prefix", options.mqttPrefix,
                    "Topics under PREFIX/PANEL-ID/ (default xolest)")
        ->type_name("PREFIX")
        ->needs(mqtt)
        ->group(group);
    command
        .add_flag("--mqtt-commands", options.mqttCommands,
                  "Run commands published on PREFIX/PANEL-ID/command/ADDRESS/set")
        ->needs(mqtt)
        ->group(group);
    command
        .add_option("--ha-discovery", options.haDiscovery,
                    "Home Assistant discovery under PREFIX (default homeassistant)")
        ->expected(0, 1)
        ->type_name("[PREFIX]")
        ->needs(mqtt)
        ->group(group);
    command
        .add_option("--modbus", options.modbus,
                    "Serve the zones as Modbus TCP registers at ADDRESS:PORT (127.0.0.1:1502)")
        ->type_name("ADDRESS:PORT")
        ->group(group);
}

void AddServeOptions(CLI::App& serve, Options& options) {
    serve.add_option("--interval", options.interval, "Seconds between scans (0..86400, default 2)")
        ->check(CLI::Validator(IntervalCheck, ""))
        ->type_name("SECONDS");
    AddJournalOptions(serve, options, true);
    AddOutputOptions(serve, options);
    serve.add_option("--listen", options.listen, "Address and port (default 127.0.0.1:8080)")
        ->type_name("ADDRESS:PORT");
    auto* allow = serve.add_flag("--allow-commands", options.allowCommands,
                                 "Take control commands from the page (POST with the token)");
    serve.add_option("--token-file", options.tokenFile, "File holding the commands' Bearer token")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    allow->needs(serve.get_option("--token-file"));
    AddAccessOptions(serve, options);
}

std::map<std::string, CLI::App*> AddCommands(CLI::App& app, Options& options) {
    std::map<std::string, CLI::App*> commands;
    for (const CommandSpec& command : CommandTable()) {
        commands[std::string(command.name)] =
            app.add_subcommand(std::string(command.name), std::string(command.summary));
    }
    auto* check = commands["check"];
    check->add_option("address", options.addresses, "Point addresses")->required();
    check->add_option("--count", options.count, "Check as a block of this many zones");
    auto* read = commands["read"];
    read->add_option("address", options.address, "Point address")->required();
    read->add_option("--count", options.count, "Read a block of this many zones")
        ->check(CLI::Range(1, 1000));
    read->add_flag("--no-scan", options.noScan,
                   "Zone reads: skip the scan that first fills this new context's snapshot");
    auto* write = commands["write"];
    write->add_option("address", options.address, "Point address")->required();
    write->add_option("value", options.value, "Value, 0..65535")
        ->required()
        ->check(CLI::Range(0, 65535).description(""))
        ->type_name("0..65535");
    auto* monitor = commands["monitor"];
    monitor
        ->add_option("--interval", options.interval, "Seconds between scans (0..86400, default 2)")
        ->check(CLI::Validator(IntervalCheck, ""))
        ->type_name("SECONDS");
    monitor->add_option("--scans", options.scans, "Stop after this many scans (0: never)")
        ->check(CLI::NonNegativeNumber);
    monitor->add_flag("--counts", options.counts, "Also read !C and !N and print their changes");
    AddJournalOptions(*monitor, options, true);
    AddOutputOptions(*monitor, options);
    AddJournalCommand(commands["journal"], options);
    // config shows what serve (or monitor) would run with, and takes the same options.
    AddServeOptions(*commands["serve"], options);
    AddServeOptions(*commands["config"], options);
    commands["config"]->add_flag("--counts", options.counts, "As monitor's --counts");
    return commands;
}

// The values each writable kind takes, from the one table of them.
std::string WriteValuesText() {
    std::string text = "Values each kind takes (the driver refuses any other without sending "
                       "anything):\n";
    for (auto [label, kind] :
         {std::pair{"L, T points", PK_CONTROL_L}, std::pair{"Q, A points", PK_CONTROL_Q},
          std::pair{"O points", PK_GROUP_ZONE}, std::pair{"X points", PK_CONTROL_X}}) {
        text += fmt::format("  {:<13} {}\n", label, cis::ValuesText(kind));
    }
    return text +
           fmt::format("  {:<13} {} (the command carries none)\n", "!D, !R, !S",
                       cis::ValuesText(PK_SYSTEM_D)) +
           fmt::format("  {:<13} {} (runs a scan)\n", "!Z", cis::ValuesText(PK_SCAN)) +
           "  P, !C, !N     cannot be written\n";
}

// Each command's help lists the global options too, and examples.
void AddCommandFooters(const CLI::App& app, const std::map<std::string, CLI::App*>& commands) {
    std::string globals = GlobalOptionsText(app);
    for (auto& [name, command] : commands) {
        std::string footer = globals + "\nExamples:\n" + std::string(FindCommand(name)->examples);
        if (name == "write") {
            footer = WriteValuesText() + "\n" + footer;
        }
        command->footer(footer);
    }
}

// A mistyped command line: the parser's words, or the command meant.
int ReportParseError(const CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
    std::string message = e.what();
    if (dynamic_cast<const CLI::ExcludesError*>(&e) != nullptr) {
        message += ": the two exclude each other";
    }
    // Under systemd the journal takes these as errors.
    const char* priority = StderrGoesToJournal() ? "<3>" : "";
    // A configuration file's message names the file and the key: it is whole.
    if (dynamic_cast<const CLI::ConfigError*>(&e) != nullptr) {
        fmt::print(stderr, "{}xolhost: {}\n", priority, message);
        return EXIT_USAGE;
    }
    if (app.get_subcommands().empty()) {
        for (int i = 1; i < argc; ++i) {
            std::string word = argv[i];
            std::string nearest = word.empty() || word[0] == '-' ? "" : NearestCommand(word);
            if (!nearest.empty() && nearest != word) {
                message =
                    fmt::format("unknown command \"{}\"; did you mean \"{}\"?", word, nearest);
                break;
            }
        }
    }
    fmt::print(stderr, "{0}xolhost: {1}\n{0}Run with --help for more information.\n", priority,
               message);
    return EXIT_USAGE;
}

} // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Options& options) {
    CLI::App app{"xolhost: drives the EST CM1N driver module as a supervision host does, on a "
                 "serial port or on the built-in panel simulator."};
    app.fallthrough();
    app.require_subcommand(1, 1);
    app.get_formatter()->column_width(36);
    app.set_version_flag("-V,--version", std::string("xolhost ") + XOLHOST_VERSION);
    app.footer("Exit codes: 0 done, 1 refused, 2 failed, 3 module not usable, 64 bad usage, "
               "70 internal error, 74 output not written, 130 interrupted.\n"
               "Run 'xolhost COMMAND --help' for a command's options and examples.");
    AddGlobalOptions(app, options);
    AddCommandFooters(app, AddCommands(app, options));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return ReportParseError(app, e, argc, argv);
    }
    options.command = app.get_subcommands().front()->get_name();
    NoteCommandLine(app, options);
    // Serve shows the counts beside the zones.
    options.counts = options.counts || options.command == "serve";
    if (!options.traceFile.empty()) {
        options.trace = true;
    }
    return std::nullopt;
}

std::vector<std::string> IgnoredOptions(const Options& o) {
    std::vector<std::string> ignored;
    if (o.tracePanel && !o.simulate) {
        ignored.push_back("--trace-panel is ignored without --simulate");
    }
    bool panel = o.command != "describe" && o.command != "check";
    if (!panel) {
        for (auto [given, name] :
             {std::pair{!o.port.empty(), "--port"}, std::pair{o.simulate.has_value(), "--simulate"},
              std::pair{o.trace, "--trace"}, std::pair{!o.recordFile.empty(), "--record"},
              std::pair{o.timeout.has_value(), "--timeout"}}) {
            if (given) {
                ignored.push_back(
                    fmt::format("{} is ignored by {}: it needs no panel", name, o.command));
            }
        }
    }
    if (o.strict && o.command != "scan" && o.command != "read") {
        ignored.push_back(fmt::format("--strict is ignored by {}: only scan and zone reads have "
                                      "line figures to judge",
                                      o.command));
    }
    if (o.strict && o.direct) {
        ignored.push_back("--strict is ignored with --direct: the line is not watched");
    }
    return ignored;
}

} // namespace xolhost
