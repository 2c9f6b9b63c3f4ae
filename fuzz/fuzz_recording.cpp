// The recording reader of xolpanel --replay on arbitrary texts: it answers
// the exchanges or throws ScenarioError naming the line, nothing else. Each
// exchange it gives is one request, "@" to its only CR, with answers that
// come no earlier than their request. The scenario made from what it
// accepts (xolpanel --to-scenario) is one the scenario reader takes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "replay.h"
#include "scenario.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<xolsim::RecordedExchange> exchanges;
    try {
        exchanges = xolsim::ParseRecording(text, "recording.jsonl");
    } catch (const xolsim::ScenarioError& e) {
        Require(std::string_view(e.what()).starts_with("recording.jsonl: "));
        return 0;
    }
    for (const xolsim::RecordedExchange& exchange : exchanges) {
        const std::string& request = exchange.request;
        Require(request.size() >= 2 && request.front() == '@' && request.back() == '\r');
        Require(request.find('\r') == request.size() - 1);
        for (const xolsim::RecordedAnswer& piece : exchange.answer) {
            Require(piece.after >= 0);
        }
    }
    const std::string made = xolsim::RecordingToScenario(exchanges, "recording.jsonl");
    try {
        (void)xolsim::ParseScenario(made);
    } catch (const xolsim::ScenarioError&) {
        Require(false);
    }
    return 0;
}
