#include "outputs/mqtt_forms.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sys/stat.h>

#include "codec/input_file.h"

#include <xolest/xolest.h>

#include "line/line_decoder.h"
#include "platform/exit_codes.h"
#include "present/output.h"
#include "present/site.h"
#include "present/timestamps.h"

namespace xolhost {

using nlohmann::json;

namespace {

std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A status not confirmed by the last completed scan: the line is stale, or
// the status was held through a scan that lost records.
bool ZoneStale(const SupervisionState& state, int zone) {
    if (state.stale) {
        return true;
    }
    auto confirmed = state.confirmedAt.find(zone);
    return state.zones.count(zone) != 0 && state.lastCompletedScan &&
           (confirmed == state.confirmedAt.end() || confirmed->second < *state.lastCompletedScan);
}

json ZonePayload(int zone, const FedState& fed, const MqttSettings& mqtt) {
    const SupervisionState& state = fed.state;
    auto status = state.zones.find(zone);
    const uint16_t bits = status == state.zones.end() ? 0 : status->second;
    json out = ZoneJson(zone, bits, mqtt.site);
    auto confirmed = state.confirmedAt.find(zone);
    out["confirmed_at"] = bits != 0 && confirmed != state.confirmedAt.end()
                              ? json(Rfc3339(confirmed->second, mqtt.utc))
                              : json(nullptr);
    out["stale"] = ZoneStale(state, zone);
    out["unacknowledged"] = fed.unacknowledgedZones.count(zone) != 0;
    out["active"] = ActiveStatus(bits, mqtt.site);
    return out;
}

json LinePayload(const FedState& fed, const MqttSettings& mqtt) {
    const SupervisionState& state = fed.state;
    return {{"channel", ChannelStateName(state.channel)},
            {"last_completed_scan", state.lastCompletedScan
                                        ? json(Rfc3339(*state.lastCompletedScan, mqtt.utc))
                                        : json(nullptr)},
            {"quality", state.lastScan ? FiguresJson(state.lastScan->figures) : json(nullptr)},
            {"scan_seconds", state.lastScan ? json(state.lastScan->seconds) : json(nullptr)},
            {"stale", state.stale},
            {"scans", state.scans},
            {"failed_scans", state.failedScans},
            {"unacknowledged", state.unacknowledged.size()}};
}

// Names Home Assistant takes in a topic or an id: letters, digits, '_', '-'.
std::string NodeId(const std::string& text) {
    std::string id = "xolest_";
    for (char c : text) {
        id += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' ? c : '_';
    }
    return id;
}

} // namespace

void ParseMqttUrl(const std::string& url, MqttSettings& settings) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        settings.tls = false;
        settings.port = 1883;
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        settings.tls = true;
        settings.port = 8883;
    } else {
        throw UsageError(fmt::format("--mqtt {}: give mqtt://HOST:PORT or mqtts://HOST:PORT", url));
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    const auto colon = rest.rfind(':');
    const bool bracketed = !rest.empty() && rest.front() == '[';
    if (colon != std::string::npos && (!bracketed || rest[colon - 1] == ']')) {
        char* end = nullptr;
        long port = std::strtol(rest.c_str() + colon + 1, &end, 10);
        if (*end != 0 || port < 1 || port > 65535) {
            throw UsageError(fmt::format("--mqtt {}: the port must be 1..65535", url));
        }
        settings.port = static_cast<int>(port);
        rest.resize(colon);
    }
    if (bracketed && rest.size() > 2 && rest.back() == ']') {
        rest = rest.substr(1, rest.size() - 2);
    }
    if (rest.empty() || rest.find_first_of("/@?#") != std::string::npos) {
        throw UsageError(fmt::format("--mqtt {}: no broker host in it", url));
    }
    settings.host = rest;
}

std::string ReadPasswordFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        throw UsageError(fmt::format("--mqtt-password-file {}: not a readable file", path));
    }
    if (std::string problem = cis::SecretFileProblem(path); !problem.empty()) {
        throw UsageError(fmt::format("--mqtt-password-file {}: {}", path, problem));
    }
    std::ifstream in(path);
    std::string password;
    if (!in || !std::getline(in, password)) {
        throw UsageError(fmt::format("--mqtt-password-file {}: cannot be read", path));
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return password;
}

bool ActiveStatus(uint16_t status, const Site* site) {
    for (unsigned bit = 1; bit <= 0x80; bit <<= 1) {
        if ((status & bit) == 0) {
            continue;
        }
        const std::string* kind = site != nullptr ? site->codeClass(CodeOfStatusBit(bit)) : nullptr;
        if (kind == nullptr || *kind == "alarm" || *kind == "fault" || *kind == "supervisory") {
            return true;
        }
    }
    return false;
}

std::map<std::string, std::string> RetainedPayloads(const FedState& fed, const MqttSettings& mqtt,
                                                    const std::set<int>& shown) {
    std::map<std::string, std::string> topics;
    topics["line"] = Dump(LinePayload(fed, mqtt));
    std::set<int> zones = shown;
    for (const auto& entry : fed.state.zones) {
        zones.insert(entry.first);
    }
    if (mqtt.site != nullptr) {
        for (const auto& entry : mqtt.site->zones) {
            zones.insert(entry.first);
        }
    }
    for (int zone : zones) {
        if (zone >= 1 && zone <= ZONE_COUNT) {
            topics[fmt::format("zone/{}", zone)] = Dump(ZonePayload(zone, fed, mqtt));
        }
    }
    for (const auto& [which, value] : fed.state.counts) {
        topics[fmt::format("count/{}", which)] = std::to_string(value);
    }
    return topics;
}

namespace {

// The entities of one device, each with what every one of them carries.
struct Discovery {
    const MqttSettings& mqtt;
    std::string node = NodeId(mqtt.panelId);
    std::string base = mqtt.base();
    json device;
    json availability;
    std::vector<std::pair<std::string, std::string>> out;

    explicit Discovery(const MqttSettings& settings) : mqtt(settings) {
        device = {{"identifiers", json::array({node})},
                  {"name", mqtt.site != nullptr && !mqtt.site->name.empty()
                               ? mqtt.site->name
                               : "Fire panel " + mqtt.panelId},
                  {"manufacturer", "EST"},
                  {"model", "CM1N"}};
        // Unavailable while the gateway is offline or the line is stale: a
        // stale status is never shown as current.
        availability = json::array(
            {{{"topic", base + "availability"}},
             {{"topic", base + "line"},
              {"value_template", "{{ 'offline' if value_json.stale else 'online' }}"}}});
    }

    void entity(const std::string& component, const std::string& object, json config) {
        config["unique_id"] = node + "_" + object;
        config["object_id"] = node + "_" + object;
        config["device"] = device;
        config["origin"] = {{"name", "xolhost"}, {"sw_version", mqtt.version}};
        config["availability"] = availability;
        config["availability_mode"] = "all";
        out.emplace_back(
            fmt::format("{}/{}/{}/{}/config", *mqtt.discovery, component, node, object),
            Dump(config));
    }

    void zones() {
        if (mqtt.site == nullptr) {
            return;
        }
        bool alarms = false;
        for (const auto& entry : mqtt.site->classes) {
            alarms = alarms || entry.second == "alarm";
        }
        for (const auto& [zone, location] : mqtt.site->zones) {
            const std::string topic = fmt::format("{}zone/{}", base, zone);
            entity("binary_sensor", fmt::format("zone_{}", zone),
                   {{"name", location},
                    {"state_topic", topic},
                    {"value_template", "{{ 'ON' if value_json.active else 'OFF' }}"},
                    {"device_class", alarms ? "smoke" : "problem"},
                    {"json_attributes_topic", topic}});
        }
    }

    void panel() {
        for (char which : {'C', 'N'}) {
            entity("sensor", fmt::format("count_{}", which),
                   {{"name", fmt::format("Count {}", which)},
                    {"state_topic", fmt::format("{}count/{}", base, which)},
                    {"state_class", "measurement"}});
        }
        entity("sensor", "unacknowledged",
               {{"name", "Unacknowledged events"},
                {"state_topic", base + "line"},
                {"value_template", "{{ value_json.unacknowledged }}"},
                {"state_class", "measurement"}});
        entity("binary_sensor", "line",
               {{"name", "Panel line"},
                {"state_topic", base + "line"},
                {"value_template", "{{ 'ON' if value_json.channel == 'open' else 'OFF' }}"},
                {"device_class", "connectivity"},
                {"entity_category", "diagnostic"}});
    }
};

} // namespace

std::vector<std::pair<std::string, std::string>> DiscoveryPayloads(const MqttSettings& mqtt) {
    Discovery discovery(mqtt);
    discovery.zones();
    discovery.panel();
    return std::move(discovery.out);
}

} // namespace xolhost
