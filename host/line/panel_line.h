// The panel as the commands reach it: the driver's channel, and the relay
// that watches the line when there is one. Every call that may use the line
// is made through `call`, which collects what the line showed meanwhile, so
// that a failure can be told apart by its traffic; a call that failed with
// requests unanswered listens up to 2 s more for answers that come late. After each call an
// interrupt that came meanwhile ends the command (Interrupted).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "line/diagnosis.h"
#include "line/line_decoder.h"
#include "line/relay.h"
#include "module/driver.h"
#include "platform/interrupts.h"

namespace xolhost {

// One call, with what the line showed while it ran.
struct LineCall {
    int32_t result = RC_FAILED;
    CallTraffic traffic;
    bool watched = false;
    double listenedSeconds = 0; // after a failure, for answers still due
};

// The status scan and the statuses it left in the snapshot.
struct ZoneScan {
    LineCall call;
    std::map<int, uint16_t> statuses; // zones in a status
    double seconds = 0;
};

class PanelLine {
public:
    // `relay`: null when the driver opens the port itself; `relayAvailable`
    // says whether it could have been watched (for the advice on failures).
    PanelLine(DriverModule& module, Interrupts& interrupts, Relay* relay, bool relayAvailable,
              uint32_t timeoutTicks);

    Channel& channel() { return channel_; }
    bool watched() const { return relay_ != nullptr; }
    uint32_t timeoutTicks() const { return timeoutTicks_; }

    LineCall call(const std::function<int32_t()>& body);
    // Throws Interrupted when an interrupt came; else `result`.
    int32_t after(int32_t result) const;
    Diagnosis whyFailed(const LineCall& call) const;
    // The checked point; UsageError when the address (or block) is not valid.
    Point point(const std::string& address, std::optional<int32_t> count = {});
    // Runs !Z, then reads every zone from the fresh snapshot. `ticker`: show
    // the elapsed time on standard error while it runs.
    ZoneScan scanZones(bool ticker);

    // How long a failed call waits for answers still due.
    static constexpr std::chrono::milliseconds LATE_ANSWER_PATIENCE{2000};

private:
    // The seconds it listened.
    double listenForLateAnswers();

    Interrupts& interrupts_;
    Relay* relay_;
    bool relayAvailable_;
    uint32_t timeoutTicks_;
    Channel channel_;
};

} // namespace xolhost
