// The commands of xolhost, carried out through the driver module: describe,
// check, scan, read, write, monitor. Each prints its results through Output
// and returns the program's exit code. Where the relay watches the line,
// failures are told apart by what the line showed, and scans carry their
// line figures.
#pragma once

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "commands/options.h"
#include "line/diagnosis.h"
#include "module/driver.h"
#include "platform/interrupts.h"
#include "line/line_decoder.h"
#include "present/output.h"
#include "line/relay.h"

namespace xolhost {

// The line as the commands see it: watched through the relay, or not.
struct LineTap {
    LineDecoder* monitor = nullptr;
    Relay* relay = nullptr;
    bool relayAvailable = true; // for the advice after an unwatched failure
    bool watched() const { return monitor != nullptr && relay != nullptr; }
};

int ExitCodeOf(int32_t result);

// A command that did not succeed: "xolhost: <subject>: <why>" on standard
// error, or its JSON object with the result, the cause and the error text.
int ReportFailure(Output& out, const std::string& command, int32_t result,
                  const Diagnosis& diagnosis, const std::string& subject,
                  nlohmann::json object = nlohmann::json::object());

// The values a control or system point takes, as the driver sends them:
// "2 (E) or 3 (D)"; empty for kinds that cannot be written.
std::string ValuesOfKind(uint32_t kind);
bool KindTakesValue(uint32_t kind, uint16_t value);

class Session {
public:
    Session(const Options& options, DriverModule& module, Interrupts& interrupts, Output& output,
            LineTap tap, uint32_t timeoutTicks);

    int describe();
    int check();
    int scan();
    int read();
    int write();
    int monitor();

    // What serve drives: the monitor's memory between scans, one monitor
    // scan at a time (with its events handed to a sink as well as printed),
    // and single writes from the page.
    struct MonitorState {
        std::map<int, uint16_t> known;
        std::map<char, uint16_t> counts;
        bool first = true;
        bool failing = false;
    };
    struct ScanReport {
        int32_t result = RC_FAILED;
        bool watched = false;
        LineFigures figures;
        double seconds = 0;
    };
    ScanReport monitorStep(MonitorState& state);
    void setEventSink(std::function<void(const nlohmann::json&)> sink) {
        eventSink_ = std::move(sink);
    }
    // The result code, and on failure why in `error`.
    int32_t writePoint(const std::string& address, uint16_t value, std::string& error);
    bool channelOpen() const { return channel_.isOpen(); }

    int32_t openChannel(const LineSettings& line) { return channel_.open(line); }
    // False (and a message) when the driver could not close the port.
    bool closeChannel(const std::string& portName);

private:
    struct Call {
        int32_t result = RC_FAILED;
        CallTraffic traffic;
        bool watched = false;
    };
    struct Scan {
        Call call;
        std::map<int, uint16_t> statuses;
        double seconds = 0;
    };

    // One call that may use the line, with what the line showed meanwhile.
    Call lineCall(const std::function<int32_t()>& body);
    int32_t after(int32_t result) const;
    Point requirePoint(const std::string& address, std::optional<int32_t> count = {});
    // Runs !Z, then reads every zone's status from the fresh snapshot.
    Scan scanZones(const Point& scanPoint);
    // After a completed scan: the figures, a warning for lost records, and
    // whether --strict makes it a failure.
    bool scanLostRecords(const Call& call, const std::string& command, nlohmann::json& object);
    Diagnosis whyFailed(const Call& call) const;
    // A command that did not succeed: text on stderr, or its JSON object.
    int fail(const std::string& command, int32_t result, const Diagnosis& diagnosis,
             const std::string& subject, nlohmann::json object = nlohmann::json::object());
    std::optional<int> scanForRead(nlohmann::json& object, bool& strictFailure);
    int readBlock();
    int readPoint();
    int readFailed(const Point& point, const Call& call, const nlohmann::json& object);
    std::vector<int> reportChanges(std::map<int, uint16_t>& known, const Scan& scan, bool first);
    bool monitorOnce(const Point& scanPoint, std::map<int, uint16_t>& known,
                     std::map<char, uint16_t>& knownCounts, bool first, bool& failing);
    void event(nlohmann::json object, const std::string& text);
    void monitorCounts(std::map<char, uint16_t>& known);

    const Options& options_;
    DriverModule& module_;
    Interrupts& interrupts_;
    Output& out_;
    LineTap tap_;
    uint32_t timeoutTicks_;
    Channel channel_;
    std::function<void(const nlohmann::json&)> eventSink_;
    ScanReport lastScan_;
};

} // namespace xolhost
