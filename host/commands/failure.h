// How a command ends: its exit code, and what it prints when it did not
// succeed ("xolhost: <subject>: <why>" on standard error, or its JSON
// object with the result, the cause and the error text).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "line/diagnosis.h"

namespace xolhost {

class Output;

int ExitCodeOf(int32_t result);

int ReportFailure(Output& out, const std::string& command, int32_t result,
                  const Diagnosis& diagnosis, const std::string& subject,
                  nlohmann::json object = nlohmann::json::object());

// A result that succeeded: its JSON object in JSON mode, else its lines.
void PrintResult(Output& out, const nlohmann::json& outcome, const std::vector<std::string>& lines);

} // namespace xolhost
