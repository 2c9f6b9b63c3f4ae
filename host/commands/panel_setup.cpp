#include "commands/panel_setup.h"

#include <fmt/format.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

#include "commands/command_table.h"
#include "commands/failure.h"
#include "commands/options.h"
#include "line/diagnosis.h"
#include "line/line_decoder.h"
#include "line/panel_line.h"
#include "line/relay.h"
#include "line/simulator.h"
#include "module/driver.h"
#include "platform/exit_codes.h"
#include "platform/interrupts.h"
#include "platform/platform.h"
#include "present/output.h"
#include "serve/serve.h"

namespace xolhost {

namespace {

// monitor and serve supervise a panel: a trace or recording that cannot be
// written must not end that.
bool GoesOnWithoutItsFiles(const Options& options) {
    return options.command == "monitor" || options.command == "serve";
}

// A file the trace or the recording goes to, a line at a time, flushed so
// that it survives whatever ends the program. Once a write fails (a full
// disk, /dev/full) the file is lost: that is said at once, nothing more goes
// to it (a recording with a hole would not play back as it happened), and
// while lines keep coming it is said again at most once a minute.
class LineFile {
public:
    LineFile(const std::string& path, const char* option, Output& out, bool goesOn)
        : name_(fmt::format("{} {}", option, path)), out_(out), goesOn_(goesOn) {
        file_ = std::fopen(path.c_str(), "w");
        if (file_ == nullptr) {
            throw UsageError(
                fmt::format("{} cannot be written: {}", name_, SystemErrorText(errno)));
        }
    }
    ~LineFile() { std::fclose(file_); }
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;

    // From the relay's thread (one at a time, under the decoder's lock).
    void write(const std::string& line) {
        if (lost_) {
            ++unwritten_;
            remind();
            return;
        }
        errno = 0;
        if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() ||
            std::fputc('\n', file_) == EOF || std::fflush(file_) != 0) {
            lose(errno != 0 ? errno : EIO);
        }
    }
    bool lost() const { return lost_; }

private:
    using Clock = std::chrono::steady_clock;

    void lose(int error) {
        lost_ = true;
        unwritten_ = 1;
        saidAt_ = Clock::now();
        std::string text = fmt::format("{} cannot be written: {}", name_, SystemErrorText(error));
        if (goesOn_) {
            out_.warning(text + "; supervision goes on without it");
        } else {
            out_.error(text);
        }
    }
    void remind() {
        if (goesOn_ && Clock::now() - saidAt_ >= std::chrono::minutes(1)) {
            saidAt_ = Clock::now();
            out_.warning(
                fmt::format("{} is still lost: {} line(s) not written", name_, unwritten_));
        }
    }

    std::string name_; // "--record FILE"
    Output& out_;
    bool goesOn_;
    std::FILE* file_ = nullptr;
    std::atomic<bool> lost_{false};
    uint64_t unwritten_ = 0;
    Clock::time_point saidAt_;
};

// The relay and what it feeds: the decoder, the trace and the recording.
struct RelayParts {
    std::unique_ptr<LineFile> traceFile;
    std::unique_ptr<LineFile> recordFile;
    std::unique_ptr<LineDecoder> decoder;
    std::unique_ptr<Relay> relay;

    bool fileLost() const {
        return (traceFile && traceFile->lost()) || (recordFile && recordFile->lost());
    }
};

DecoderSettings RelayDecoderSettings(const Options& options, const LineSettings& line,
                                     const PortName& port, Output& out, RelayParts& watched) {
    DecoderSettings settings;
    settings.timeoutMs = line.timeout * 10;
    settings.utc = options.utc;
    settings.site = out.site();
    if (!options.traceFile.empty()) {
        watched.traceFile = std::make_unique<LineFile>(options.traceFile, "--trace-file", out,
                                                       GoesOnWithoutItsFiles(options));
        settings.trace = [file = watched.traceFile.get()](const std::string& text) {
            file->write(text);
        };
    } else if (options.trace) {
        settings.trace = [&out](const std::string& text) { out.traceLine(text); };
    }
    if (!options.recordFile.empty()) {
        watched.recordFile = std::make_unique<LineFile>(options.recordFile, "--record", out,
                                                        GoesOnWithoutItsFiles(options));
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

// Runs the command on the open channel, then closes it.
int RunOpen(const CommandSpec& command, CommandContext& context) {
    PanelLine& line = *context.line;
    int code = EXIT_DONE;
    try {
        code = command.run(context);
    } catch (const Interrupted&) {
        line.channel().close();
        throw;
    }
    if (line.channel().isOpen()) {
        if (int32_t result = line.channel().close(); result != RC_DONE) {
            context.out.error(fmt::format("the driver could not close the port {} ({})",
                                          context.options.port, ResultName(result)));
            code = code == EXIT_DONE ? EXIT_FAILED : code;
        }
    }
    return code;
}

// The panel's device: the one named, or the simulator's.
std::string PanelDevice(const Options& options, Output& out,
                        std::unique_ptr<SimulatedPanel>& simulator) {
    if (!options.simulate) {
        if (options.port.empty()) {
            throw UsageError(
                fmt::format("\"{}\" needs a panel: --port NAME, or --simulate", options.command));
        }
        return options.port;
    }
    std::function<void(const std::string&)> panelTrace;
    if (options.tracePanel) {
        panelTrace = [&out](const std::string& text) { out.traceLine("panel " + text); };
    }
    simulator = StartSimulatedPanel(*options.simulate, panelTrace);
    if (!out.jsonMode()) {
        out.progress("simulated panel on " + simulator->devicePath());
    }
    return simulator->devicePath();
}

// The name the driver opens: the relay's pseudo-terminal, or the port itself
// with --direct (or where there is no relay).
std::string DriverPortName(const Options& options, const PortName& port, LineSettings& line,
                           Output& out, RelayParts& relayed, PortProblem& problem) {
    if (!options.direct && RelayAvailable()) {
        relayed.decoder =
            std::make_unique<LineDecoder>(RelayDecoderSettings(options, line, port, out, relayed));
        relayed.relay = StartRelay(port.device, line.settings, *relayed.decoder, problem);
        return relayed.relay ? relayed.relay->modulePortName() : std::string();
    }
    if (port.moduleName.empty()) {
        throw UsageError(fmt::format(
            "the port name \"{}\" ({}) does not fit the driver's port name (1 to {} characters, "
            "without /dev/); without --direct any name works",
            port.given, port.device, XOL_PORT_NAME_SIZE - 1));
    }
    return port.moduleName;
}

// The commands that talk to a panel: the panel's device, the line to it
// (through the relay, or handed to the driver as it is), the channel.
int RunOnPanel(const CommandSpec& command, Options& options, DriverModule& module,
               Interrupts& interrupts, Output& out) {
    // Declared in this order so that the channel closes before the relay and
    // the simulated panel go.
    LineSettings line = LineFromOptions(options, module.info());
    std::unique_ptr<SimulatedPanel> simulator;
    std::string given;
    try {
        given = PanelDevice(options, out, simulator);
    } catch (const UsageError&) {
        throw;
    } catch (const std::runtime_error& e) {
        return ReportFailure(out, options.command, RC_FAILED, {Cause::PortError, e.what(), {}},
                             "the simulator cannot start");
    }
    PortName port = ResolvePort(given);
    RelayParts relayed;
    PortProblem problem;
    line.port = DriverPortName(options, port, line, out, relayed, problem);
    // The recording's first line could not be written: the command ends
    // before it begins.
    const bool endsOnLostFile = !GoesOnWithoutItsFiles(options);
    if (endsOnLostFile && relayed.fileLost()) {
        return EXIT_OUTPUT;
    }
    if (line.port.empty()) {
        return ReportFailure(out, options.command, RC_FAILED,
                             DiagnosePort(problem, given, port.device), "");
    }
    Options shown = options;
    shown.port = given;
    PanelLine panel(module, interrupts, relayed.relay.get(), RelayAvailable(), line.timeout);
    if (int32_t opened = panel.channel().open(line); opened != RC_DONE) {
        return ReportFailure(out, options.command, opened,
                             WhyOpenFailed(relayed.relay != nullptr, opened, line, port), "");
    }
    CommandContext context{shown, module, interrupts, out, &panel, &line};
    int code = RunOpen(command, context);
    return endsOnLostFile && relayed.fileLost() && code == EXIT_DONE ? EXIT_OUTPUT : code;
}

} // namespace

LineSettings LineFromOptions(const Options& options, const DriverInfo& info) {
    LineSettings line;
    line.timeout = options.timeout.value_or(info.defaultTimeout);
    line.settings.baud = static_cast<uint16_t>(options.baud.value_or(info.defaultBaud));
    line.settings.dataBits = options.dataBits.value_or(info.defaultDataBits);
    line.settings.stopBits = options.stopBits.value_or(info.defaultStopBits);
    line.settings.parity = options.parity.value_or(info.defaultParity);
    return line;
}

int RunCommand(Options& options, Interrupts& interrupts, Output& out) {
    const CommandSpec* command = FindCommand(options.command);
    if (command == nullptr) {
        throw UsageError(fmt::format("unknown command \"{}\"", options.command));
    }
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
    if (!command->needsPanel) {
        CommandContext context{options, module, interrupts, out};
        return command->run(context);
    }
    return RunOnPanel(*command, options, module, interrupts, out);
}

} // namespace xolhost
