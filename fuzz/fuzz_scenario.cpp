// The simulator's scenario reader on arbitrary texts: it answers a Scenario
// or throws ScenarioError, nothing else (an exception of any other type
// escapes and ends the run). A scenario it accepts holds only what the file
// format allows: zone numbers 0..9999, status codes 0..15, counts C and N in
// range, control addresses in their upper-case form with values their kind
// takes, events in time order that each change something, and nothing of
// the file left out.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "codec/control_values.h"
#include "codec/frame_decode.h"
#include "scenario.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void CheckZones(const xolsim::ZoneMap& zones) {
    for (const auto& [zone, codes] : zones) {
        Require(zone <= 9999);
        Require(std::all_of(codes.begin(), codes.end(), [](uint8_t c) { return c <= 15; }));
    }
}

void CheckCounts(const std::map<char, int>& counts) {
    for (const auto& [which, value] : counts) {
        Require(which == 'C' || which == 'N');
        Require(value >= -999 && value <= 9999);
    }
}

bool ControlAddressForm(const std::string& address) {
    auto digits = [&](std::size_t from) {
        return std::all_of(address.begin() + static_cast<std::ptrdiff_t>(from), address.end(),
                           [](unsigned char c) { return std::isdigit(c) != 0; });
    };
    if (address.size() == 5 && std::string_view("LTQAX").find(address[0]) != std::string::npos) {
        return digits(1);
    }
    return address.size() == 7 && address[0] == 'O' && digits(1);
}

void CheckScenario(const xolsim::Scenario& s) {
    CheckZones(s.zones);
    CheckCounts(s.counts);
    Require(s.counts.contains('C') && s.counts.contains('N'));
    for (const auto& [address, rule] : s.controls) {
        Require(ControlAddressForm(address));
        for (int value : rule.exceptions) {
            Require(value >= 0 && value <= 65535);
            Require(cis::KindTakesValue(static_cast<unsigned char>(address[0]),
                                        static_cast<uint16_t>(value)));
        }
    }
    for (const auto& [kind, answer] : s.system) {
        Require(kind == 'D' || kind == 'R' || kind == 'S');
        Require(answer == xolsim::Answer::Done || answer == xolsim::Answer::Refused);
    }
    for (std::size_t i = 0; i < s.events.size(); ++i) {
        const xolsim::Event& event = s.events[i];
        Require(event.at >= 0);
        Require(i == 0 || s.events[i - 1].at <= event.at);
        Require(!event.zones.empty() || !event.counts.empty());
        CheckZones(event.zones);
        CheckCounts(event.counts);
    }
    // The panel's state at any moment is made of the same pieces.
    for (double at : {0.0, 1.0, 1e9}) {
        xolsim::PanelState state = xolsim::StateAt(s, at);
        CheckZones(state.zones);
        CheckCounts(state.counts);
    }
}

// Every zone, control point and event of the file is in the scenario: none
// replaced another silently.
void CheckNothingDropped(std::string_view text, const xolsim::Scenario& s) {
    const nlohmann::json root = nlohmann::json::parse(text);
    auto entries = [](const nlohmann::json& object, const char* key) {
        return object.contains(key) ? object[key].size() : 0;
    };
    Require(s.zones.size() == entries(root, "zones"));
    Require(s.events.size() == entries(root, "events"));
    if (root.contains("controls")) {
        Require(s.controls.size() == entries(root["controls"], "points"));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    xolsim::Scenario scenario;
    try {
        scenario = xolsim::ParseScenario(text);
    } catch (const xolsim::ScenarioError& e) {
        Require(e.what()[0] != '\0');
        return 0;
    }
    CheckScenario(scenario);
    CheckNothingDropped(text, scenario);
    return 0;
}
