// monitor and serve: the supervision core on the driver's channel, its
// events printed, or shown on the web page.
#include <fmt/format.h>

#include <cmath>

#include "codec/control_values.h"
#include "commands/command_table.h"
#include "commands/journal_setup.h"
#include "commands/options.h"
#include "commands/output_setup.h"
#include "line/longest_step.h"
#include "line/panel_line.h"
#include "platform/exit_codes.h"
#include "platform/interrupts.h"
#include "present/output.h"
#include "present/site.h"
#include "serve/serve.h"
#include "sinks/printers.h"
#include "sinks/service_status.h"
#include "supervision/supervisor.h"

namespace xolhost {

namespace {

// The panel the core supervises, through the driver's channel.
class DriverPanel : public SupervisedPanel {
public:
    explicit DriverPanel(CommandContext& context)
        : line_(*context.line), settings_(*context.lineSettings), out_(context.out),
          port_(context.options.port) {}

    ScanResult scan() override {
        ZoneScan zones = line_.scanZones(out_.cursor());
        ScanResult scan{zones.call.result,  std::move(zones.statuses),
                        zones.call.watched, zones.call.traffic.figures,
                        zones.seconds,      {}};
        if (scan.result != RC_DONE) {
            scan.why = line_.whyFailed(zones.call);
        }
        return scan;
    }

    CountResult readCount(char which) override {
        Point point = line_.point(std::string("!") + which);
        CountResult count;
        LineCall call = line_.call([&] { return line_.channel().read(point, count.value); });
        count.result = line_.after(call.result);
        if (count.result == RC_REFUSED && call.watched && call.traffic.lastCountReplyBad) {
            count.why = {Cause::Checksum, "the panel's count reply failed its checksum", {}};
        } else if (count.result != RC_DONE) {
            count.why = line_.whyFailed(call);
        }
        return count;
    }

    CommandResult write(const std::string& address, uint16_t value) override {
        Point point;
        if (line_.after(line_.channel().check(address, point)) != RC_DONE) {
            return {RC_REFUSED, fmt::format("\"{}\" is not a valid point address", address)};
        }
        LineCall call = line_.call([&] { return line_.channel().write(point, value); });
        CommandResult result{line_.after(call.result), {}};
        if (result.result == RC_FAILED) {
            result.error = line_.whyFailed(call).text;
        } else if (result.result == RC_REFUSED) {
            std::string values = cis::ValuesText(point.kind);
            result.error = values.empty() ? fmt::format("points of kind {} cannot be written",
                                                        KindText(point.kind))
                           : cis::KindTakesValue(point.kind, value)
                               ? "refused by the panel"
                               : fmt::format("{} points take {}", KindText(point.kind), values);
        }
        return result;
    }

    bool channelOpen() const override { return line_.channel().isOpen(); }
    bool openChannel() override { return line_.channel().open(settings_) == RC_DONE; }
    void closeChannel() override {
        if (int32_t result = line_.channel().close(); result != RC_DONE) {
            out_.error(fmt::format("the driver could not close the port {} ({})", port_,
                                   ResultName(result)));
        }
    }

private:
    PanelLine& line_;
    const LineSettings& settings_;
    Output& out_;
    std::string port_;
};

// An interrupt ends supervising, and so does standard output failing: the
// events could no longer be shown.
bool Stopping(CommandContext& context) {
    return context.interrupts.requested() || context.out.stdoutFailed();
}

// An event waits for acknowledgement when it sets a bit whose status code
// the site classes as alarm, fault or supervisory, or gives no class.
bool WaitsForOperator(const EventBody& body, const Site* site) {
    uint16_t set = 0;
    if (const auto* initial = std::get_if<event::ZoneInitial>(&body)) {
        set = initial->status;
    } else if (const auto* change = std::get_if<event::ZoneChanged>(&body)) {
        set = change->set();
    }
    for (unsigned bit = 1; bit <= 0x80; bit <<= 1) {
        if ((set & bit) == 0) {
            continue;
        }
        const std::string* kind = site != nullptr ? site->codeClass(CodeOfStatusBit(bit)) : nullptr;
        if (kind == nullptr || *kind == "alarm" || *kind == "fault" || *kind == "supervisory") {
            return true;
        }
    }
    return false;
}

SupervisionSettings SettingsOf(const Options& options, const Site* site) {
    SupervisionSettings settings;
    settings.needsAcknowledgement = [site](const EventBody& body) {
        return WaitsForOperator(body, site);
    };
    settings.interval = std::chrono::milliseconds(static_cast<int64_t>(options.interval * 1000));
    settings.steps = options.command == "monitor" ? static_cast<uint64_t>(options.scans) : 0;
    settings.counts = options.counts;
    return settings;
}

// Under a service manager (systemd): what it hears of supervision. Null
// without one.
std::unique_ptr<ServiceStatus> StartServiceStatus(CommandContext& context,
                                                  const SupervisionSettings& settings) {
    ServiceManager manager = ServiceManager::FromEnvironment();
    if (!manager.present()) {
        return nullptr;
    }
    auto service = std::make_unique<ServiceStatus>(manager, context.options.utc);
    const StepBound step = LongestStep(*context.lineSettings, settings.counts);
    std::string said = service->starting(
        context.options.port, std::chrono::seconds(static_cast<int64_t>(std::ceil(step.total()))),
        WatchdogFor(step));
    if (!said.empty()) {
        context.out.warning(said);
    }
    return service;
}

// The service manager hears of every step, and the loop feeds its watchdog.
void AttachServiceStatus(Supervisor& supervisor, ServiceStatus* service) {
    if (service != nullptr) {
        supervisor.addSink(*service);
        supervisor.whileWaiting([service] { service->alive(); });
    }
}

// How supervision ended, for the service manager and the log.
std::string EndedBy(const CommandContext& context) {
    return context.interrupts.requested() ? context.interrupts.name() : "an error";
}

} // namespace

int RunMonitor(CommandContext& context) {
    Output& out = context.out;
    DriverPanel panel(context);
    SupervisionSettings settings = SettingsOf(context.options, out.site());
    std::unique_ptr<ServiceStatus> service = StartServiceStatus(context, settings);
    Supervisor supervisor(panel, settings);
    AttachServiceStatus(supervisor, service.get());
    EventPrinter printer(out, context.options.utc);
    supervisor.addSink(printer);
    std::unique_ptr<EventJournal> journal = AttachJournal(context, supervisor);
    CommandQueue queue; // commands from MQTT, when it takes them
    std::unique_ptr<Outputs> outputs = StartOutputs(context, supervisor, journal.get(), queue);
    if (!out.jsonMode()) {
        out.progress(fmt::format("monitoring {} every {:g} s; Ctrl-C ends", context.options.port,
                                 context.options.interval));
    }
    try {
        supervisor.run(queue, [&] { return Stopping(context); });
    } catch (const Interrupted&) {
        // An interrupt is how a monitor ends.
    }
    if (service) {
        service->stopping(out.stdoutFailed() ? "standard output failed" : EndedBy(context));
    }
    if (out.stdoutFailed()) {
        return EXIT_OUTPUT;
    }
    if (context.interrupts.requested()) {
        supervisor.interrupted(context.interrupts.name());
        if (!out.jsonMode()) {
            out.progress(fmt::format("monitoring ended by {}", context.interrupts.name()));
        }
    }
    if (outputs) {
        outputs->stop();
    }
    return supervisor.failing() ? EXIT_FAILED : EXIT_DONE;
}

namespace {

// serve's parts that outlive its loop: the web service, and the outputs
// fed from the same supervisor (the server stops before they go).
void ServeOutputs(CommandContext& context, Supervisor& supervisor, WebService& service,
                  CommandQueue& queue, std::unique_ptr<EventJournal>& journal,
                  std::unique_ptr<Outputs>& outputs) {
    journal = AttachJournal(context, supervisor);
    if (journal) {
        service.readJournal(*journal);
    }
    outputs = StartOutputs(context, supervisor, journal.get(), queue);
    if (outputs && outputs->mqttStatus()) {
        service.addOutput([mqtt = outputs.get()] {
            const MqttStatus status = mqtt->mqttStatus().value_or(MqttStatus{});
            return OutputStatus{"mqtt", status.connected, status.waiting};
        });
    }
}

} // namespace

int RunServe(CommandContext& context) {
    const Options& options = context.options;
    Output& out = context.out;
    CommandQueue queue;
    WebSettings web{options.listen,       options.allowCommands, options.tokenFile,
                    options.interval,     options.port,          options.utc,
                    options.allowedHosts, options.readTokenFile, options.corsOrigin,
                    options.tlsCert,      options.tlsKey};
    std::unique_ptr<WebService> service = StartWebService(web, queue, out);
    if (!service) {
        return EXIT_FAILED;
    }
    DriverPanel panel(context);
    SupervisionSettings settings = SettingsOf(options, out.site());
    std::unique_ptr<ServiceStatus> manager = StartServiceStatus(context, settings);
    Supervisor supervisor(panel, settings);
    ProgressPrinter progress(out);
    supervisor.addSink(service->sink());
    supervisor.addSink(progress);
    AttachServiceStatus(supervisor, manager.get());
    std::unique_ptr<EventJournal> journal;
    std::unique_ptr<Outputs> outputs;
    ServeOutputs(context, supervisor, *service, queue, journal, outputs);
    try {
        supervisor.run(queue, [&] { return Stopping(context); });
    } catch (const Interrupted&) {
        // An interrupt is how serving ends; what the step had found is kept.
        supervisor.interrupted(context.interrupts.name());
    } catch (...) {
        service->stop();
        throw;
    }
    if (manager) {
        manager->stopping(out.stdoutFailed() ? "standard output failed" : EndedBy(context));
    }
    service->stop();
    if (outputs) {
        outputs->stop();
    }
    if (out.stdoutFailed()) {
        return EXIT_OUTPUT;
    }
    out.progress(fmt::format("serving ended by {}", EndedBy(context)));
    return EXIT_DONE;
}

} // namespace xolhost
