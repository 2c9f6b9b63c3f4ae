#include "commands/output_setup.h"

#include <fmt/format.h>

#include "commands/command_table.h"
#include "commands/options.h"
#include "journal/journal.h"
#include "outputs/modbus_output.h"
#include "outputs/mqtt_output.h"
#include "platform/exit_codes.h"
#include "present/output.h"
#include "supervision/supervisor.h"

#ifndef XOLHOST_VERSION
#define XOLHOST_VERSION "unknown"
#endif

namespace xolhost {

namespace {

// A topic level of ours: no wildcards, no empty level.
void CheckTopicLevel(const std::string& text, const char* what) {
    if (text.empty() || text.find_first_of("+#") != std::string::npos || text.front() == '/' ||
        text.back() == '/') {
        throw UsageError(fmt::format("{} \"{}\" cannot be part of an MQTT topic", what, text));
    }
}

MqttSettings MqttSettingsOf(CommandContext& context) {
    const Options& options = context.options;
    MqttSettings mqtt;
    ParseMqttUrl(options.mqttUrl, mqtt);
    if (!options.mqttCa.empty() && !mqtt.tls) {
        throw UsageError("--mqtt-ca needs an mqtts:// broker");
    }
    mqtt.caFile = options.mqttCa;
    mqtt.user = options.mqttUser;
    if (!options.mqttPasswordFile.empty()) {
        mqtt.password = ReadPasswordFile(options.mqttPasswordFile);
    }
    mqtt.prefix = options.mqttPrefix;
    mqtt.panelId = options.panelId.empty() ? PanelIdOf(options.port) : options.panelId;
    CheckTopicLevel(mqtt.prefix, "--mqtt-prefix");
    CheckTopicLevel(mqtt.panelId, "the panel id");
    mqtt.commands = options.mqttCommands;
    if (options.haDiscovery) {
        mqtt.discovery = options.haDiscovery->empty() ? "homeassistant" : *options.haDiscovery;
        CheckTopicLevel(*mqtt.discovery, "--ha-discovery");
    }
    mqtt.version = XOLHOST_VERSION;
    mqtt.site = context.out.site();
    mqtt.utc = options.utc;
    Output* out = &context.out;
    mqtt.log = [out](const std::string& text) { out->progress(text); };
    return mqtt;
}

class RunningOutputs : public Outputs {
public:
    void stop() override {
        if (mqtt) {
            mqtt->stop();
        }
        if (modbus) {
            modbus->stop();
        }
    }
    std::optional<MqttStatus> mqttStatus() const override {
        return mqtt ? std::optional<MqttStatus>(mqtt->status()) : std::nullopt;
    }

    std::unique_ptr<MqttOutput> mqtt;
    std::unique_ptr<ModbusOutput> modbus;
};

} // namespace

std::unique_ptr<Outputs> StartOutputs(CommandContext& context, Supervisor& supervisor,
                                      EventJournal* journal, CommandQueue& commands) {
    const Options& options = context.options;
    if (options.mqttUrl.empty() && options.modbus.empty()) {
        return nullptr;
    }
    const auto* kept = dynamic_cast<const Journal*>(journal);
    FeedSettings feed;
    feed.journalPath = kept != nullptr ? kept->path() : std::string();
    feed.site = context.out.site();
    feed.utc = options.utc;
    auto outputs = std::make_unique<RunningOutputs>();
    try {
        if (!options.mqttUrl.empty()) {
            MqttSettings mqtt = MqttSettingsOf(context);
            feed.output = "mqtt";
            outputs->mqtt = std::make_unique<MqttOutput>(
                std::move(mqtt), std::make_unique<OutputFeed>(feed), &commands);
            supervisor.addSink(outputs->mqtt->sink());
        }
        if (!options.modbus.empty()) {
            feed.output = "modbus";
            feed.events = false;
            outputs->modbus =
                std::make_unique<ModbusOutput>(options.modbus, std::make_unique<OutputFeed>(feed));
            supervisor.addSink(outputs->modbus->sink());
            if (!context.out.jsonMode()) {
                context.out.progress("modbus: serving on " + options.modbus);
            }
        }
    } catch (const JournalError& e) {
        throw CommandFailure(fmt::format("outputs: {}", e.what()));
    }
    return outputs;
}

} // namespace xolhost
