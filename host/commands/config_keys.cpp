#include "commands/config_keys.h"

#include <fmt/format.h>

#include <array>

#include "commands/options.h"
#include "present/output.h"

namespace xolhost {

namespace {

using nlohmann::json;

json Text(const std::string& text) {
    return text.empty() ? json() : json(text);
}

template <typename T>
json Given(const std::optional<T>& value) {
    return value ? json(*value) : json();
}

// A flag shows false as well: it is what the program does without it.
json Flag(bool value) {
    return value;
}

// true for the option without its value, else the value.
json TextOrTrue(const std::optional<std::string>& value) {
    return !value ? json() : value->empty() ? json(true) : json(*value);
}

const auto KEYS = std::to_array<ConfigKey>({
    {"", "module", "--module", ConfigKind::File, 0, 0, false,
     [](const Options& o) { return Text(o.module); }},
    {"", "port", "--port", ConfigKind::Text, 0, 0, true,
     [](const Options& o) { return Text(o.port); }},
    {"", "simulate", "--simulate", ConfigKind::Scenario, 0, 0, true,
     [](const Options& o) { return TextOrTrue(o.simulate); }},
    {"", "timeout", "--timeout", ConfigKind::Timeout, 0, 0, true,
     [](const Options& o) {
         return o.timeout ? json(fmt::format("{}ms", *o.timeout * 10)) : json();
     }},
    {"", "baud", "--baud", ConfigKind::Integer, 1, 65535, true,
     [](const Options& o) { return Given(o.baud); }},
    {"", "data_bits", "--data-bits", ConfigKind::Integer, 5, 8, true,
     [](const Options& o) { return Given(o.dataBits); }},
    {"", "stop_bits", "--stop-bits", ConfigKind::StopBits, 0, 0, true,
     [](const Options& o) {
         return o.stopBits ? json(*o.stopBits == 1 ? 1.5 : *o.stopBits == 2 ? 2 : 1) : json();
     }},
    {"", "parity", "--parity", ConfigKind::Parity, 0, 0, true,
     [](const Options& o) { return o.parity ? json(ParityName(*o.parity)) : json(); }},
    {"", "direct", "--direct", ConfigKind::Flag, 0, 0, true,
     [](const Options& o) { return Flag(o.direct); }},
    {"", "site", "--site", ConfigKind::File, 0, 0, false,
     [](const Options& o) { return Text(o.siteFile); }},
    {"", "utc", "--utc", ConfigKind::Flag, 0, 0, false,
     [](const Options& o) { return Flag(o.utc); }},
    {"", "interval", "--interval", ConfigKind::Seconds, 0, 86400, false,
     [](const Options& o) { return json(o.interval); }},
    {"", "counts", "--counts", ConfigKind::Flag, 0, 0, false,
     [](const Options& o) { return Flag(o.counts); }},
    {"", "panel_id", "--panel-id", ConfigKind::Text, 0, 0, false,
     [](const Options& o) { return Text(o.panelId); }},
    {"", "journal", "--journal", ConfigKind::Path, 0, 0, false,
     [](const Options& o) { return Text(o.journalFile); }},
    {"", "no_journal", "--no-journal", ConfigKind::Flag, 0, 0, false,
     [](const Options& o) { return Flag(o.noJournal); }},
    {"", "keep_days", "--keep-days", ConfigKind::Integer, 1, 36500, false,
     [](const Options& o) { return Given(o.keepDays); }},
    {"serve", "listen", "--listen", ConfigKind::Text, 0, 0, false,
     [](const Options& o) { return Text(o.listen); }},
    {"serve", "token_file", "--token-file", ConfigKind::Secret, 0, 0, false,
     [](const Options& o) { return Text(o.tokenFile); }},
    {"serve", "allow_commands", "--allow-commands", ConfigKind::Flag, 0, 0, false,
     [](const Options& o) { return Flag(o.allowCommands); }},
    {"serve", "read_token_file", "--read-token-file", ConfigKind::Secret, 0, 0, false,
     [](const Options& o) { return Text(o.readTokenFile); }},
    {"serve", "allowed_hosts", "--allowed-host", ConfigKind::Hosts, 0, 0, false,
     [](const Options& o) { return o.allowedHosts.empty() ? json() : json(o.allowedHosts); }},
    {"serve", "tls_cert", "--tls-cert", ConfigKind::File, 0, 0, false,
     [](const Options& o) { return Text(o.tlsCert); }},
    {"serve", "tls_key", "--tls-key", ConfigKind::Secret, 0, 0, false,
     [](const Options& o) { return Text(o.tlsKey); }},
    {"serve", "cors_origin", "--cors-origin", ConfigKind::Text, 0, 0, false,
     [](const Options& o) { return Text(o.corsOrigin); }},
    {"mqtt", "url", "--mqtt", ConfigKind::Text, 0, 0, false,
     [](const Options& o) { return Text(o.mqttUrl); }},
    {"mqtt", "ca", "--mqtt-ca", ConfigKind::File, 0, 0, false,
     [](const Options& o) { return Text(o.mqttCa); }},
    {"mqtt", "user", "--mqtt-user", ConfigKind::Text, 0, 0, false,
     [](const Options& o) { return Text(o.mqttUser); }},
    {"mqtt", "password_file", "--mqtt-password-file", ConfigKind::Secret, 0, 0, false,
     [](const Options& o) { return Text(o.mqttPasswordFile); }},
    {"mqtt", "prefix", "--mqtt-prefix", ConfigKind::Text, 0, 0, false,
     [](const Options& o) { return Text(o.mqttPrefix); }},
    {"mqtt", "commands", "--mqtt-commands", ConfigKind::Flag, 0, 0, false,
     [](const Options& o) { return Flag(o.mqttCommands); }},
    {"mqtt", "ha_discovery", "--ha-discovery", ConfigKind::Discovery, 0, 0, false,
     [](const Options& o) { return TextOrTrue(o.haDiscovery); }},
    {"modbus", "listen", "--modbus", ConfigKind::Text, 0, 0, false,
     [](const Options& o) { return Text(o.modbus); }},
});

constexpr std::array<std::string_view, 3> TABLES = {"serve", "mqtt", "modbus"};

} // namespace

std::span<const ConfigKey> ConfigKeys() {
    return KEYS;
}

std::span<const std::string_view> ConfigTables() {
    return TABLES;
}

std::vector<std::string_view> ConfigKeyNames(std::string_view table) {
    std::vector<std::string_view> names;
    for (const ConfigKey& key : KEYS) {
        if (key.table == table) {
            names.push_back(key.name);
        }
    }
    return names;
}

const ConfigKey* FindConfigKey(std::string_view option) {
    for (const ConfigKey& key : KEYS) {
        if (key.option == option) {
            return &key;
        }
    }
    return nullptr;
}

} // namespace xolhost
