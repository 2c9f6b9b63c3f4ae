// config: the settings a supervising command would run with, from the
// configuration file and the command line over it, each with where it came
// from; the files that hold secrets are checked and their secrets never
// shown. It ends with the watchdog time a service needs at these line
// settings.
#include <fmt/format.h>

#include <cmath>

#include "codec/input_file.h"
#include "commands/command_table.h"
#include "commands/config_keys.h"
#include "commands/options.h"
#include "commands/panel_setup.h"
#include "line/longest_step.h"
#include "outputs/mqtt_forms.h"
#include "platform/exit_codes.h"
#include "present/output.h"

namespace xolhost {

namespace {

using nlohmann::json;

constexpr const char* MASK = "********";

struct Shown {
    const ConfigKey* key;
    json value;         // null: not set
    std::string origin; // "file", "command line", "default", or empty when not set
};

// A file named for a secret holds one, and only its owner (and group) may
// read it. The file's own were checked as it was read; what the command
// line names is held to the rule each option has.
void CheckSecret(const Shown& shown) {
    const std::string path = shown.value.get<std::string>();
    if (shown.key->option == "--mqtt-password-file") {
        (void)ReadPasswordFile(path); // refuses what others may read
        return;
    }
    if (std::string problem = cis::InputFileProblem(path, 64 * cis::KIB); !problem.empty()) {
        throw UsageError(fmt::format("{} {}: {}", shown.key->option, path, problem));
    }
    if (std::string problem = cis::SecretFileProblem(path); !problem.empty()) {
        throw UsageError(fmt::format("{} {}: {}", shown.key->option, path, problem));
    }
}

// What the driver gives a line setting left unset.
json DriverDefault(const ConfigKey& key, const DriverInfo& info) {
    if (key.name == "baud") {
        return info.defaultBaud;
    }
    if (key.name == "data_bits") {
        return info.defaultDataBits;
    }
    if (key.name == "stop_bits") {
        return info.defaultStopBits == 1 ? json(1.5) : json(info.defaultStopBits == 2 ? 2 : 1);
    }
    if (key.name == "parity") {
        return ParityName(info.defaultParity);
    }
    if (key.name == "timeout") {
        return fmt::format("{}ms", info.defaultTimeout * 10);
    }
    return {};
}

std::vector<Shown> Resolve(CommandContext& context) {
    const Options& options = context.options;
    std::vector<Shown> settings;
    for (const ConfigKey& key : ConfigKeys()) {
        Shown shown{&key, key.shown(options), {}};
        auto origin = options.settingOrigins.find(key.path());
        if (origin != options.settingOrigins.end()) {
            shown.origin = origin->second;
        } else if (!shown.value.is_null()) {
            shown.origin = "default";
        }
        if (key.kind == ConfigKind::Secret && !shown.value.is_null()) {
            CheckSecret(shown);
        }
        settings.push_back(std::move(shown));
    }
    if (!options.mqttUrl.empty()) {
        MqttSettings mqtt;
        ParseMqttUrl(options.mqttUrl, mqtt); // UsageError when it names no broker
    }
    return settings;
}

std::string Line(const Shown& shown, const DriverInfo& info) {
    const ConfigKey& key = *shown.key;
    if (shown.value.is_null()) {
        json fallback = DriverDefault(key, info);
        return fallback.is_null()
                   ? fmt::format("# {} = (not set)", key.name)
                   : fmt::format("# {} = {}  (the driver's default)", key.name, fallback.dump());
    }
    std::string comment = shown.origin;
    if (key.kind == ConfigKind::Secret) {
        comment += fmt::format("; holds a secret: {}", MASK);
    }
    // A JSON text, number, truth value or list reads the same in TOML.
    return fmt::format("{:<52} # {}", fmt::format("{} = {}", key.name, shown.value.dump()),
                       comment);
}

void PrintText(CommandContext& context, const std::vector<Shown>& settings, const StepBound& step,
               std::chrono::seconds watchdog) {
    Output& out = context.out;
    const std::string& file = context.options.configFile;
    out.printLine(file.empty() ? "# xolhost's settings: the command line and the defaults"
                               : fmt::format("# xolhost's settings: {}, with the command line "
                                             "over it",
                                             file));
    std::string_view table;
    for (const Shown& shown : settings) {
        if (shown.key->table != table) {
            table = shown.key->table;
            out.printLine(fmt::format("\n[{}]", table));
        }
        out.printLine(Line(shown, context.module.info()));
    }
    out.printLine(fmt::format("\n# The longest step these line settings allow: {:.0f} s; a "
                              "service's watchdog needs {} s (WatchdogSec={}).",
                              std::ceil(step.total()), watchdog.count(), watchdog.count()));
}

void PrintJson(CommandContext& context, const std::vector<Shown>& settings, const StepBound& step,
               std::chrono::seconds watchdog) {
    json values = json::object();
    for (const Shown& shown : settings) {
        json entry = {{"value", shown.value}, {"from", shown.origin}};
        if (shown.key->kind == ConfigKind::Secret && !shown.value.is_null()) {
            entry["secret"] = MASK;
        }
        values[shown.key->path()] = entry;
    }
    const std::string& file = context.options.configFile;
    context.out.printJson({{"command", "config"},
                           {"result", "done"},
                           {"file", file.empty() ? json() : json(file)},
                           {"settings", values},
                           {"longest_step_seconds", std::ceil(step.total())},
                           {"watchdog_seconds", watchdog.count()}});
}

} // namespace

int RunConfig(CommandContext& context) {
    std::vector<Shown> settings = Resolve(context);
    const StepBound step =
        LongestStep(LineFromOptions(context.options, context.module.info()), true);
    const std::chrono::seconds watchdog = WatchdogFor(step);
    if (context.out.jsonMode()) {
        PrintJson(context, settings, step, watchdog);
    } else {
        PrintText(context, settings, step, watchdog);
    }
    return EXIT_DONE;
}

} // namespace xolhost
