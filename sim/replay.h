// Playing back the panel's side of a recorded session (xolhost --record):
// each request the driver sends must be the one recorded at that place, and
// gets the bytes the panel sent after it, with their recorded delays.
#pragma once

#include <chrono>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "scenario.h"

namespace xolsim {

struct RecordedAnswer {
    double after = 0;  // seconds after its request arrived
    std::string bytes; // as one relay read gave them
};

struct RecordedExchange {
    std::string request; // "@" to CR
    std::vector<RecordedAnswer> answer;
};

// Reads a recording (JSON lines: a header, then one relay read per line).
// Throws ScenarioError naming the line for anything that cannot be used.
std::vector<RecordedExchange> LoadRecording(const std::string& path);
// The same from the recording's text; `origin` names it in messages.
std::vector<RecordedExchange> ParseRecording(std::string_view text, const std::string& origin);

// Serves the recording on fd until it is played out and answered, a request
// differs, stop is requested or the descriptor fails. Returns "" unless a
// request differed; then the message names what was expected and what came.
std::string ServeRecording(int fd, const std::vector<RecordedExchange>& exchanges,
                           std::stop_token stop);

// A scenario that answers as the recorded panel did: the zones and codes of
// the last complete status report (records with a good checksum), the last
// count replies, and how each command was answered. JSON text, for a file.
std::string RecordingToScenario(const std::vector<RecordedExchange>& exchanges,
                                const std::string& source);

} // namespace xolsim
