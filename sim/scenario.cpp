#include "scenario.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

#include "codec/control_values.h"
#include "codec/input_file.h"
#include "codec/json_input.h"
#include "codec/text.h"

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
        if (std::find(allowed.begin(), allowed.end(), item.key()) != allowed.end()) {
            continue;
        }
        // A misspelling is the usual cause: name the nearest key, else all of them.
        std::string_view nearest =
            cis::NearestWord(item.key(), std::span(allowed.begin(), allowed.size()));
        if (!nearest.empty()) {
            Fail(where,
                 fmt::format("unknown key \"{}\" (did you mean \"{}\"?)", item.key(), nearest));
        }
        Fail(where,
             fmt::format("unknown key \"{}\" (known: {})", item.key(), fmt::join(allowed, ", ")));
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
uint16_t ReadZoneEntry(const json& entry, const std::string& where, ZoneMap& zones,
                       bool alone = true) {
    if (alone) {
        OnlyKeys(entry, where, {"zone", "codes"});
    }
    if (!entry.contains("zone")) {
        Fail(where, "needs \"zone\"");
    }
    auto zone = static_cast<uint16_t>(Integer(entry["zone"], where + ".zone", 0, 9999));
    zones[zone] =
        entry.contains("codes") ? Codes(entry["codes"], where + ".codes") : std::vector<uint8_t>{};
    return zone;
}

void ReadCounts(const json& value, const std::string& where, std::map<char, int>& counts) {
    OnlyKeys(value, where, {"C", "N"});
    for (const auto& item : value.items()) {
        counts[item.key()[0]] = Integer(item.value(), where + "." + item.key(), -999, 9999);
    }
}

// "accept" and "refuse" everywhere; the system answers also take the
// older "done" and "refused", which mean the same.
Answer ReadAnswer(const json& value, const std::string& where, bool system = false) {
    if (value == "accept" || (system && value == "done")) {
        return Answer::Done;
    }
    if (value == "refuse" || (system && value == "refused")) {
        return Answer::Refused;
    }
    if (value == "done" || value == "refused") {
        Fail(where, fmt::format("must be \"accept\" or \"refuse\" (\"{}\" is only taken in "
                                "\"system\")",
                                value.get<std::string>()));
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

ControlRule ReadControlRule(const json& value, const std::string& where, char kind) {
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
    const auto pointKind = static_cast<unsigned char>(kind);
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string at = fmt::format("{}[{}]", listWhere, i);
        int v = Integer(list[i], at, 0, 65535);
        if (!cis::KindTakesValue(pointKind, static_cast<uint16_t>(v))) {
            Fail(at, fmt::format("the driver never writes {} to a point of kind {} (it writes {})",
                                 v, kind, cis::ValuesText(pointKind)));
        }
        if (!rule.exceptions.insert(v).second) {
            Fail(at, fmt::format("value {} is listed twice", v));
        }
    }
    return rule;
}

// "line 3, column 7" of a byte offset into the text.
std::string Place(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return fmt::format("line {}, column {}", line, column);
}

// The library's message without its "[json.exception...] parse error at
// line L, column C: " prefix, which the caller says in its own words.
std::string PlainReason(std::string message) {
    if (message.starts_with("[json.exception")) {
        auto colon = message.find(": ");
        message.erase(0, colon != std::string::npos ? colon + 2 : message.find("] ") + 2);
    }
    if (message.starts_with("syntax error while parsing ")) {
        message.erase(0, 27);
    }
    return message;
}

json ParseJson(std::string_view text) {
    try {
        return cis::ParseJsonInput(text);
    } catch (const cis::DuplicateKey& e) {
        throw ScenarioError(e.what());
    } catch (const json::parse_error& e) {
        // The library's byte is one past the character that went wrong.
        throw ScenarioError(fmt::format("not valid JSON at {}: {}",
                                        Place(text, e.byte > 0 ? e.byte - 1 : 0),
                                        PlainReason(e.what())));
    } catch (const json::out_of_range& e) {
        // A number too large for a double: find it in the text to name its place.
        std::string reason = PlainReason(e.what());
        auto open = reason.find('\'');
        auto close = reason.rfind('\'');
        if (open != std::string::npos && close > open + 1) {
            auto at = text.find(std::string_view(reason).substr(open + 1, close - open - 1));
            if (at != std::string_view::npos) {
                throw ScenarioError(fmt::format("not valid JSON at {}: a number too large ({})",
                                                Place(text, at), reason));
            }
        }
        throw ScenarioError(fmt::format("not valid JSON: {}", reason));
    } catch (const json::exception& e) {
        throw ScenarioError(fmt::format("not valid JSON: {}", PlainReason(e.what())));
    }
}

Scenario ReadScenario(const json& root);

} // namespace

Scenario ParseScenario(std::string_view text) {
    json root = ParseJson(text);
    try {
        return ReadScenario(root);
    } catch (const json::exception& e) {
        // The checks above come first; this is a last guard, never an abort.
        throw ScenarioError(fmt::format("scenario: {}", PlainReason(e.what())));
    }
}

namespace {

void ReadZones(const json& list, ZoneMap& zones) {
    if (!list.is_array()) {
        Fail("zones", "must be a list");
    }
    std::map<uint16_t, std::size_t> listedAt;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string where = fmt::format("zones[{}]", i);
        // A second entry would silently replace the first.
        uint16_t zone = ReadZoneEntry(list[i], where, zones);
        auto [first, added] = listedAt.emplace(zone, i);
        if (!added) {
            Fail(where + ".zone",
                 fmt::format("zone {} is already listed at zones[{}]", zone, first->second));
        }
    }
}

void ReadControls(const json& controls, Scenario& scenario) {
    OnlyKeys(controls, "controls", {"default", "points"});
    if (controls.contains("default")) {
        scenario.controlDefault = ReadAnswer(controls["default"], "controls.default");
    }
    if (!controls.contains("points")) {
        return;
    }
    if (!controls["points"].is_object()) {
        Fail("controls.points", "must be an object keyed by point address");
    }
    for (const auto& item : controls["points"].items()) {
        std::string where = "controls.points." + item.key();
        std::string address = ControlAddress(item.key(), where);
        if (scenario.controls.contains(address)) {
            Fail(where, fmt::format("point {} is listed twice", address));
        }
        scenario.controls[address] = ReadControlRule(item.value(), where, address[0]);
    }
}

Event ReadEvent(const json& entry, const std::string& where) {
    OnlyKeys(entry, where, {"at", "zone", "codes", "counts"});
    if (!entry.contains("at") || !entry["at"].is_number() || entry["at"].get<double>() < 0) {
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
    if (event.zones.empty() && event.counts.empty()) {
        Fail(where, "changes nothing: needs \"zone\" with \"codes\", or \"counts\"");
    }
    return event;
}

std::vector<Event> ReadEvents(const json& list) {
    if (!list.is_array()) {
        Fail("events", "must be a list");
    }
    std::vector<Event> events;
    for (std::size_t i = 0; i < list.size(); ++i) {
        events.push_back(ReadEvent(list[i], fmt::format("events[{}]", i)));
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& a, const Event& b) { return a.at < b.at; });
    return events;
}

std::string ReadText(const json& root, const char* key) {
    if (!root.contains(key)) {
        return {};
    }
    if (!root[key].is_string()) {
        Fail(key, "must be a text");
    }
    return root[key].get<std::string>();
}

Scenario ReadScenario(const json& root) {
    OnlyKeys(root, "scenario",
             {"name", "description", "zones", "counts", "controls", "system", "events"});
    Scenario scenario;
    scenario.name = ReadText(root, "name");
    scenario.description = ReadText(root, "description");
    if (root.contains("zones")) {
        ReadZones(root["zones"], scenario.zones);
    }
    if (root.contains("counts")) {
        ReadCounts(root["counts"], "counts", scenario.counts);
    }
    if (root.contains("controls")) {
        ReadControls(root["controls"], scenario);
    }
    if (root.contains("system")) {
        OnlyKeys(root["system"], "system", {"D", "R", "S"});
        for (const auto& item : root["system"].items()) {
            scenario.system[item.key()[0]] = ReadAnswer(item.value(), "system." + item.key(), true);
        }
    }
    if (root.contains("events")) {
        scenario.events = ReadEvents(root["events"]);
    }
    return scenario;
}

} // namespace

std::string ReadScenarioText(const std::string& path) {
    std::string problem;
    std::optional<std::string> text = cis::ReadInputFile(path, MAX_SCENARIO_BYTES, problem);
    if (!text) {
        throw ScenarioError(fmt::format("{}: {}", path, problem));
    }
    return std::move(*text);
}

Scenario LoadScenario(const std::string& path) {
    std::string text = ReadScenarioText(path);
    try {
        return ParseScenario(text);
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

Answer ControlAnswer(const Scenario& scenario, const cis::Frame& request) {
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
