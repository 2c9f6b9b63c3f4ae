// The simulated panel's world: its zones and their status codes, the two
// counts, how it answers commands, and what changes while it runs. Read from
// a JSON file, or the built-in demo when none is given.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "codec/frame_decode.h"

namespace xolsim {

// A scenario that cannot be used; what() names the place and the problem.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Answer { Done, Refused };

// How one control point answers the values written to it.
struct ControlRule {
    Answer otherwise = Answer::Done;
    // Values answered the other way than `otherwise`.
    std::set<int> exceptions;
};

// Zone number -> the status codes the panel reports for it, one record each.
using ZoneMap = std::map<uint16_t, std::vector<uint8_t>>;

struct Event {
    double at = 0; // seconds after the panel starts
    ZoneMap zones; // each zone listed gets exactly these codes (none: cleared)
    std::map<char, int> counts;
};

struct Scenario {
    std::string name;
    std::string description;
    ZoneMap zones;
    std::map<char, int> counts{{'C', 0}, {'N', 0}};
    Answer controlDefault = Answer::Done;
    std::map<std::string, ControlRule> controls; // by address: L0012, O031250
    std::map<char, Answer> system{{'D', Answer::Done}, {'R', Answer::Done}, {'S', Answer::Done}};
    std::vector<Event> events; // in order of `at`
};

// The panel's zones and counts at a given moment.
struct PanelState {
    ZoneMap zones;
    std::map<char, int> counts;
};

// Scenario files (and recordings) larger than this are refused: no panel
// needs one.
constexpr std::size_t MAX_SCENARIO_BYTES = 4u << 20;

Scenario ParseScenario(std::string_view json);
// Reads a regular file of at most MAX_SCENARIO_BYTES; ScenarioError ("PATH:
// not a regular file") otherwise.
std::string ReadScenarioText(const std::string& path);
Scenario LoadScenario(const std::string& path);
// The built-in demo (the same text as sim/scenarios/demo.json).
Scenario DefaultScenario();
std::string_view DefaultScenarioText();

PanelState StateAt(const Scenario& scenario, double secondsSinceStart);
// How the panel answers a template command it has decoded.
Answer ControlAnswer(const Scenario& scenario, const cis::Frame& request);
// How the panel answers a system command of kind D, R or S.
Answer SystemAnswer(const Scenario& scenario, char pointKind);

} // namespace xolsim
