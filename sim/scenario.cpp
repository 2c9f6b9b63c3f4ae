#include "scenario.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace xolsim {

namespace {

using nlohmann::json;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw ScenarioError(fmt::format("{}: {}", where, what));
}

void OnlyKeys(const json& object, const std::string& where,
              std::initializer_list<std::string_view> allowed) {
    if (!object.is_object()) {
        Fail(where, "must be an object");
    }
    for (const auto& item : object.items()) {
        if (std::find(allowed.begin(), allowed.end(), item.key()) == allowed.end()) {
            Fail(where, fmt::format("unknown key \"{}\"", item.key()));
        }
    }
}

int Integer(const json& value, const std::string& where, int low, int high) {
    if (!value.is_number_integer()) {
        Fail(where, "must be a whole number");
    }
    auto number = value.get<long long>();
    if (number < low || number > high) {
        Fail(where, fmt::format("must be {}..{}, not {}", low, high, number));
    }
    return static_cast<int>(number);
}

std::vector<uint8_t> Codes(const json& value, const std::string& where) {
    if (!value.is_array()) {
        Fail(where, "must be a list of status codes");
    }
    std::vector<uint8_t> codes;
    for (std::size_t i = 0; i < value.size(); ++i) {
        codes.push_back(
            static_cast<uint8_t>(Integer(value[i], fmt::format("{}[{}]", where, i), 0, 15)));
    }
    return codes;
}

// Zones are sent as four digits, so 0 and numbers above the driver's last
// zone can be given on purpose: the driver logs and ignores them.
void ReadZoneEntry(const json& entry, const std::string& where, ZoneMap& zones, bool alone = true) {
    if (alone) {
        OnlyKeys(entry, where, {"zone", "codes"});
    }
    if (!entry.contains("zone")) {
        Fail(where, "needs \"zone\"");
    }
    auto zone = static_cast<uint16_t>(Integer(entry["zone"], where + ".zone", 0, 9999));
    zones[zone] =
        entry.contains("codes") ? Codes(entry["codes"], where + ".codes") : std::vector<uint8_t>{};
}

void ReadCounts(const json& value, const std::string& where, std::map<char, int>& counts) {
    OnlyKeys(value, where, {"C", "N"});
    for (const auto& item : value.items()) {
        counts[item.key()[0]] = Integer(item.value(), where + "." + item.key(), -999, 9999);
    }
}

Answer ReadAnswer(const json& value, const std::string& where) {
    if (value == "done" || value == "accept") {
        return Answer::Done;
    }
    if (value == "refused" || value == "refuse") {
        return Answer::Refused;
    }
    Fail(where, "must be \"accept\" or \"refuse\"");
}

// L0012, t0003, O031250: the addresses a host writes for control points.
std::string ControlAddress(std::string text, const std::string& where) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    auto digits = [&](std::size_t from) {
        return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(),
                           [](unsigned char c) { return std::isdigit(c) != 0; });
    };
    bool numbered = text.size() == 5 &&
                    std::string_view("LTQAX").find(text[0]) != std::string_view::npos && digits(1);
    bool grouped = text.size() == 7 && text[0] == 'O' && digits(1);
    if (!numbered && !grouped) {
        Fail(where, fmt::format("\"{}\" is not a control point address (L0012, O031250)", text));
    }
    return text;
}

ControlRule ReadControlRule(const json& value, const std::string& where) {
    ControlRule rule;
    if (value.is_string()) {
        rule.otherwise = ReadAnswer(value, where);
        return rule;
    }
    OnlyKeys(value, where, {"accept", "refuse"});
    if (value.contains("accept") == value.contains("refuse")) {
        Fail(where, "needs exactly one of \"accept\" or \"refuse\"");
    }
    const bool accepting = value.contains("accept");
    const json& list = accepting ? value["accept"] : value["refuse"];
    const std::string listWhere = where + (accepting ? ".accept" : ".refuse");
    if (!list.is_array()) {
        Fail(listWhere, "must be a list of values");
    }
    // "accept": [..] refuses every other value; "refuse": [..] accepts them.
    rule.otherwise = accepting ? Answer::Refused : Answer::Done;
    for (std::size_t i = 0; i < list.size(); ++i) {
        rule.exceptions.insert(Integer(list[i], fmt::format("{}[{}]", listWhere, i), 0, 65535));
    }
    return rule;
}

} // namespace

Scenario ParseScenario(std::string_view text) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        throw ScenarioError(fmt::format("not valid JSON: {}", e.what()));
    }
    OnlyKeys(root, "scenario",
             {"name", "description", "zones", "counts", "controls", "system", "events"});
    Scenario scenario;
    if (root.contains("name")) {
        if (!root["name"].is_string()) {
            Fail("name", "must be a text");
        }
        scenario.name = root["name"].get<std::string>();
    }
    if (root.contains("description")) {
        if (!root["description"].is_string()) {
            Fail("description", "must be a text");
        }
        scenario.description = root["description"].get<std::string>();
    }
    if (root.contains("zones")) {
        if (!root["zones"].is_array()) {
            Fail("zones", "must be a list");
        }
        for (std::size_t i = 0; i < root["zones"].size(); ++i) {
            ReadZoneEntry(root["zones"][i], fmt::format("zones[{}]", i), scenario.zones);
        }
    }
    if (root.contains("counts")) {
        ReadCounts(root["counts"], "counts", scenario.counts);
    }
    if (root.contains("controls")) {
        const json& controls = root["controls"];
        OnlyKeys(controls, "controls", {"default", "points"});
        if (controls.contains("default")) {
            scenario.controlDefault = ReadAnswer(controls["default"], "controls.default");
        }
        if (controls.contains("points")) {
            if (!controls["points"].is_object()) {
                Fail("controls.points", "must be an object keyed by point address");
            }
            for (const auto& item : controls["points"].items()) {
                std::string where = "controls.points." + item.key();
                scenario.controls[ControlAddress(item.key(), where)] =
                    ReadControlRule(item.value(), where);
            }
        }
    }
    if (root.contains("system")) {
        OnlyKeys(root["system"], "system", {"D", "R", "S"});
        for (const auto& item : root["system"].items()) {
            scenario.system[item.key()[0]] = ReadAnswer(item.value(), "system." + item.key());
        }
    }
    if (root.contains("events")) {
        if (!root["events"].is_array()) {
            Fail("events", "must be a list");
        }
        for (std::size_t i = 0; i < root["events"].size(); ++i) {
            const json& entry = root["events"][i];
            std::string where = fmt::format("events[{}]", i);
            OnlyKeys(entry, where, {"at", "zone", "codes", "counts"});
            if (!entry.contains("at") || !entry["at"].is_number() ||
                entry["at"].get<double>() < 0) {
                Fail(where + ".at", "needs a number of seconds, 0 or more");
            }
            Event event;
            event.at = entry["at"].get<double>();
            if (entry.contains("zone")) {
                ReadZoneEntry(entry, where, event.zones, false);
            } else if (entry.contains("codes")) {
                Fail(where, "\"codes\" needs a \"zone\"");
            }
            if (entry.contains("counts")) {
                ReadCounts(entry["counts"], where + ".counts", event.counts);
            }
            scenario.events.push_back(std::move(event));
        }
        std::stable_sort(scenario.events.begin(), scenario.events.end(),
                         [](const Event& a, const Event& b) { return a.at < b.at; });
    }
    return scenario;
}

Scenario LoadScenario(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw ScenarioError(fmt::format("{}: cannot be read", path));
    }
    std::ostringstream text;
    text << file.rdbuf();
    try {
        return ParseScenario(text.str());
    } catch (const ScenarioError& e) {
        throw ScenarioError(fmt::format("{}: {}", path, e.what()));
    }
}

Scenario DefaultScenario() {
    return ParseScenario(DefaultScenarioText());
}

PanelState StateAt(const Scenario& scenario, double secondsSinceStart) {
    PanelState state{scenario.zones, scenario.counts};
    for (const Event& event : scenario.events) {
        if (event.at > secondsSinceStart) {
            break;
        }
        for (const auto& [zone, codes] : event.zones) {
            state.zones[zone] = codes;
        }
        for (const auto& [which, value] : event.counts) {
            state.counts[which] = value;
        }
    }
    return state;
}

Answer ControlAnswer(const Scenario& scenario, const Request& request) {
    auto rule = scenario.controls.find(request.address);
    if (rule == scenario.controls.end()) {
        return scenario.controlDefault;
    }
    const ControlRule& r = rule->second;
    if (!r.exceptions.contains(request.value)) {
        return r.otherwise;
    }
    return r.otherwise == Answer::Done ? Answer::Refused : Answer::Done;
}

Answer SystemAnswer(const Scenario& scenario, char pointKind) {
    auto answer = scenario.system.find(pointKind);
    return answer == scenario.system.end() ? Answer::Done : answer->second;
}

} // namespace xolsim
