// xolhost: does what a supervision host does with the driver module, on a
// real port or on the built-in panel simulator. This file wires the pieces
// together: the command line, the output and the site, then the command;
// and turns the failures that end it early into exit codes.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdio>

#include "commands/options.h"
#include "commands/panel_setup.h"
#include "module/driver.h"
#include "platform/exit_codes.h"
#include "platform/interrupts.h"
#include "platform/platform.h"
#include "platform/service_manager.h"
#include "present/output.h"
#include "present/site.h"

int main(int argc, char** argv) {
    using namespace xolhost;
    Options options;
    if (auto code = ParseCommandLine(argc, argv, options)) {
        return *code;
    }
    const bool cursor = StderrTakesCursorCodes();
    Interrupts interrupts(cursor);
    Site site;
    Output out({options.json, options.utc, cursor, nullptr, StderrGoesToJournal()});
    int code = EXIT_DONE;
    try {
        for (const std::string& warning : IgnoredOptions(options)) {
            out.warning(warning);
        }
        if (!options.siteFile.empty()) {
            site = LoadSite(options.siteFile);
            out.setSite(&site);
        }
        code = RunCommand(options, interrupts, out);
    } catch (const UsageError& e) {
        out.error(fmt::format("{}\nRun with --help for more information.", e.what()));
        code = EXIT_USAGE;
    } catch (const ModuleError& e) {
        if (options.json) {
            out.printJson({{"command", options.command}, {"result", "error"}, {"error", e.what()}});
        }
        out.error(e.what());
        code = EXIT_MODULE;
    } catch (const CommandFailure& e) {
        if (options.json) {
            out.printJson(
                {{"command", options.command}, {"result", "failed"}, {"error", e.what()}});
        }
        out.error(e.what());
        code = EXIT_FAILED;
    } catch (const Interrupted&) {
        std::string message =
            fmt::format("interrupted by {} before the command finished", interrupts.name());
        if (options.json) {
            out.printJson({{"command", options.command},
                           {"result", "interrupted"},
                           {"signal", interrupts.name()},
                           {"error", message}});
        } else {
            out.error(message);
        }
        code = EXIT_INTERRUPTED;
    } catch (const std::exception& e) {
        out.error(fmt::format("internal error: {}", e.what()));
        code = EXIT_INTERNAL;
    }
    std::string problem;
    if (!out.finish(problem)) {
        fmt::print(stderr, "xolhost: the results could not be written: {}\n", problem);
        if (code == EXIT_DONE) {
            code = EXIT_OUTPUT;
        }
    }
    return code;
}
