// xolhost: does what a supervision host does with the driver module, on a
// real port or on the built-in panel simulator. This file wires the pieces
// together: the command line, the module, the panel and the line between
// them (watched through the relay where there is one), then the command.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "commands/options.h"
#include "line/diagnosis.h"
#include "module/driver.h"
#include "platform/exit_codes.h"
#include "platform/interrupts.h"
#include "line/line_decoder.h"
#include "commands/session.h"
#include "present/output.h"
#include "platform/platform.h"
#include "line/relay.h"
#include "serve/serve.h"
#include "line/simulator.h"
#include "present/site.h"

#ifndef XOLHOST_VERSION
#define XOLHOST_VERSION "unknown"
#endif

namespace xolhost {
namespace {

using nlohmann::json;

// A file the trace or the recording goes to, a line at a time, flushed so
// that it survives whatever ends the program.
class LineFile {
public:
    LineFile(const std::string& path, const char* option) {
        file_ = std::fopen(path.c_str(), "w");
        if (file_ == nullptr) {
            throw UsageError(
                fmt::format("{} {} cannot be written: {}", option, path, SystemErrorText(errno)));
        }
    }
    ~LineFile() { std::fclose(file_); }
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;

    void write(const std::string& line) {
        std::fputs(line.c_str(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }

private:
    std::FILE* file_ = nullptr;
};

LineSettings LineFromOptions(const Options& options, const DriverInfo& info) {
    LineSettings line;
    line.timeout = options.timeout.value_or(info.defaultTimeout);
    line.settings.baud = static_cast<uint16_t>(options.baud.value_or(info.defaultBaud));
    line.settings.dataBits = options.dataBits.value_or(info.defaultDataBits);
    line.settings.stopBits = options.stopBits.value_or(info.defaultStopBits);
    line.settings.parity = options.parity.value_or(info.defaultParity);
    return line;
}

// The relay and what watches it: the decoder, the trace and the recording.
struct WatchedLine {
    std::unique_ptr<LineFile> traceFile;
    std::unique_ptr<LineFile> recordFile;
    std::unique_ptr<LineDecoder> monitor;
    std::unique_ptr<Relay> relay;
};

DecoderSettings WatchSettings(const Options& options, const LineSettings& line,
                              const PortName& port, Output& out, WatchedLine& watched) {
    DecoderSettings settings;
    settings.timeoutMs = line.timeout * 10;
    settings.utc = options.utc;
    settings.site = out.site();
    if (!options.traceFile.empty()) {
        watched.traceFile = std::make_unique<LineFile>(options.traceFile, "--trace-file");
        settings.trace = [file = watched.traceFile.get()](const std::string& text) {
            file->write(text);
        };
    } else if (options.trace) {
        settings.trace = [&out](const std::string& text) { out.traceLine(text); };
    }
    if (!options.recordFile.empty()) {
        watched.recordFile = std::make_unique<LineFile>(options.recordFile, "--record");
        settings.record = [file = watched.recordFile.get()](const std::string& text) {
            file->write(text);
        };
        settings.recordHeader = {{"port", port.given},
                                 {"device", port.device},
                                 {"baud", line.settings.baud},
                                 {"data_bits", line.settings.dataBits},
                                 {"parity", ParityName(line.settings.parity)},
                                 {"stop_bits", StopBitsName(line.settings.stopBits)},
                                 {"timeout_ms", line.timeout * 10},
                                 {"xolhost", XOLHOST_VERSION}};
    }
    return settings;
}

// What the driver's bare "failed" to open stood for.
Diagnosis WhyOpenFailed(bool watched, int32_t result, const LineSettings& line,
                        const PortName& port) {
    if (watched) {
        return {Cause::PortError,
                fmt::format("the driver could not open the relay's pseudo-terminal {}", line.port),
                {}};
    }
    PortProblem problem = ProbePort(port.device, line.settings);
    if (problem.fault == PortFault::None) {
        return {Cause::PortError,
                fmt::format("the driver could not open the port {} ({})", port.given,
                            ResultName(result)),
                {}};
    }
    return DiagnosePort(problem, port.given, port.device);
}

int RunCommand(Session& session, const std::string& command, const std::string& port) {
    int code = EXIT_DONE;
    try {
        if (command == "scan") {
            code = session.scan();
        } else if (command == "read") {
            code = session.read();
        } else if (command == "write") {
            code = session.write();
        } else {
            code = session.monitor();
        }
    } catch (const Interrupted&) {
        session.closeChannel(port);
        throw;
    }
    if (!session.closeChannel(port) && code == EXIT_DONE) {
        code = EXIT_FAILED;
    }
    return code;
}

// The commands that talk to a panel: the panel's device, the line to it
// (through the relay, or handed to the driver as it is), the channel.
int RunOnPanel(Options& options, DriverModule& module, Interrupts& interrupts, Output& out) {
    // Declared in this order so that the channel closes before the relay and
    // the simulated panel go.
    LineSettings line = LineFromOptions(options, module.info());
    std::unique_ptr<SimulatedPanel> simulator;
    std::string given = options.port;
    if (options.simulate) {
        std::function<void(const std::string&)> panelTrace;
        if (options.tracePanel) {
            panelTrace = [&out](const std::string& text) { out.traceLine("panel " + text); };
        }
        try {
            simulator = StartSimulatedPanel(*options.simulate, panelTrace);
        } catch (const UsageError&) {
            throw;
        } catch (const std::runtime_error& e) {
            return ReportFailure(out, options.command, RC_FAILED, {Cause::PortError, e.what(), {}},
                                 "the simulator cannot start");
        }
        given = simulator->devicePath();
        if (!out.jsonMode()) {
            out.progress("simulated panel on " + given);
        }
    } else if (options.port.empty()) {
        throw UsageError(
            fmt::format("\"{}\" needs a panel: --port NAME, or --simulate", options.command));
    }
    PortName port = ResolvePort(given);

    WatchedLine watched;
    const bool watch = !options.direct && RelayAvailable();
    if (watch) {
        watched.monitor =
            std::make_unique<LineDecoder>(WatchSettings(options, line, port, out, watched));
        PortProblem problem;
        watched.relay = StartRelay(port.device, line.settings, *watched.monitor, problem);
        if (!watched.relay) {
            return ReportFailure(out, options.command, RC_FAILED,
                                 DiagnosePort(problem, given, port.device), "");
        }
        line.port = watched.relay->modulePortName();
    } else if (port.moduleName.empty()) {
        throw UsageError(fmt::format(
            "the port name \"{}\" ({}) does not fit the driver's port name (1 to {} characters, "
            "without /dev/); without --direct any name works",
            given, port.device, XOL_PORT_NAME_SIZE - 1));
    } else {
        line.port = port.moduleName;
    }

    Options shown = options;
    shown.port = given;
    Session session(shown, module, interrupts, out,
                    LineTap{watched.monitor.get(), watched.relay.get(), RelayAvailable()},
                    line.timeout);
    if (int32_t opened = session.openChannel(line); opened != RC_DONE) {
        return ReportFailure(out, options.command, opened, WhyOpenFailed(watch, opened, line, port),
                             "");
    }
    if (options.command == "serve") {
        return Serve(session, shown, line, interrupts, out);
    }
    return RunCommand(session, options.command, given);
}

int Run(Options& options, Interrupts& interrupts, Output& out) {
    if (!RelayAvailable() && (options.trace || !options.recordFile.empty())) {
        throw UsageError("--trace and --record are not available on this system: the line "
                         "cannot be watched here");
    }
    std::string modulePath = options.module.empty() ? FindDefaultModule() : options.module;
    if (modulePath.empty()) {
        auto tried = DefaultModuleCandidates();
        throw ModuleError(fmt::format("no driver module found (looked for {}); name it with "
                                      "--module PATH",
                                      fmt::join(tried, " and ")));
    }
    if (options.command == "serve" && !ServeAvailable()) {
        throw UsageError("serve is not available in this build of xolhost (it needs cpp-httplib, "
                         "on Linux); monitor shows the same changes as text");
    }
    DriverModule module(modulePath);
    module.setLogSink([&out](int, const std::string& text) { out.error("driver log: " + text); });
    if (options.command == "describe" || options.command == "check") {
        Session session(options, module, interrupts, out, {}, 0);
        return options.command == "describe" ? session.describe() : session.check();
    }
    return RunOnPanel(options, module, interrupts, out);
}

} // namespace
} // namespace xolhost

int main(int argc, char** argv) {
    using namespace xolhost;
    Options options;
    if (auto code = ParseCommandLine(argc, argv, options)) {
        return *code;
    }
    const bool cursor = StderrTakesCursorCodes();
    Interrupts interrupts(cursor);
    Site site;
    Output out({options.json, options.utc, cursor, nullptr});
    int code = EXIT_DONE;
    try {
        for (const std::string& warning : IgnoredOptions(options)) {
            out.warning(warning);
        }
        if (!options.siteFile.empty()) {
            site = LoadSite(options.siteFile);
            out.setSite(&site);
        }
        code = Run(options, interrupts, out);
    } catch (const UsageError& e) {
        out.error(fmt::format("{}\nRun with --help for more information.", e.what()));
        code = EXIT_USAGE;
    } catch (const ModuleError& e) {
        if (options.json) {
            out.printJson({{"command", options.command}, {"result", "error"}, {"error", e.what()}});
        }
        out.error(e.what());
        code = EXIT_MODULE;
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
