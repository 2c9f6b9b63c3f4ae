#include "commands/failure.h"

#include "platform/exit_codes.h"
#include "present/output.h"

namespace xolhost {

using nlohmann::json;

int ExitCodeOf(int32_t result) {
    switch (result) {
    case RC_DONE:
        return EXIT_DONE;
    case RC_REFUSED:
        return EXIT_REFUSED;
    default:
        return EXIT_FAILED;
    }
}

int ReportFailure(Output& out, const std::string& command, int32_t result,
                  const Diagnosis& diagnosis, const std::string& subject, json object) {
    std::string message = subject.empty()          ? diagnosis.text
                          : diagnosis.text.empty() ? subject
                                                   : subject + ": " + diagnosis.text;
    if (out.jsonMode()) {
        json outcome = {{"command", command},
                        {"result", ResultName(result)},
                        {"cause", CauseName(diagnosis.cause)},
                        {"error", message}};
        if (diagnosis.suggestedTimeout) {
            outcome["suggested_timeout"] = *diagnosis.suggestedTimeout;
        }
        outcome.update(object);
        out.printJson(outcome);
    } else {
        out.error(message);
    }
    return ExitCodeOf(result);
}

void PrintResult(Output& out, const json& outcome, const std::vector<std::string>& lines) {
    if (out.jsonMode()) {
        out.printJson(outcome);
        return;
    }
    for (const std::string& line : lines) {
        out.printLine(line);
    }
}

} // namespace xolhost
