// The keys of the configuration file, one for each option that a service
// keeps from run to run: which option each sets, what kind of value it
// takes, and how the config command shows the value in effect.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace xolhost {

struct Options;

enum class ConfigKind {
    Text,
    Path,      // may not exist yet (a journal)
    File,      // must exist
    Secret,    // must exist, and others may not read it
    Flag,      // true or false
    Integer,   // low..high
    Seconds,   // a number, low..high
    Timeout,   // units of 10 ms, or "40ms", "0.5s"
    StopBits,  // 1, 1.5, 2
    Parity,    // none, odd, even, mark, space
    Hosts,     // a list of names
    Scenario,  // true (the built-in demo) or a scenario file
    Discovery, // true (the default prefix) or a prefix
};

struct ConfigKey {
    std::string_view table; // "" at the top level
    std::string_view name;
    std::string_view option; // the long option it sets
    ConfigKind kind;
    int64_t low = 0;
    int64_t high = 0;
    bool panelOnly = false; // a setting of the line: for the commands that use a panel
    // The value in effect, as the file would give it; null when none is.
    nlohmann::json (*shown)(const Options&) = nullptr;

    // "port", "mqtt.url": where the key stands in the file.
    std::string path() const {
        return table.empty() ? std::string(name) : std::string(table) + "." + std::string(name);
    }
};

std::span<const ConfigKey> ConfigKeys();
// The tables of the file: serve, mqtt, modbus.
std::span<const std::string_view> ConfigTables();
// The keys of one table ("" for the top level).
std::vector<std::string_view> ConfigKeyNames(std::string_view table);
// The key that sets this long option ("--mqtt"), or null.
const ConfigKey* FindConfigKey(std::string_view option);

} // namespace xolhost
