#include "line/longest_step.h"

#include <algorithm>
#include <cmath>

#include "codec/frame_layout.h"
#include "line/panel_line.h"

namespace xolhost {

namespace {

// As the driver makes them (its status scan, count query and exchange): the
// tries, the requests' lengths, and how much it drains after a late answer.
constexpr double SCAN_ATTEMPTS = 3;
constexpr double SCAN_REQUEST_BYTES = 3; // "@S" CR to start, "@!" CR for the next record
constexpr double COUNT_TRIES = 3;
constexpr double COUNT_REQUEST_BYTES = 4;
constexpr double DRAIN_LIMIT_BYTES = 1200;

// Seconds a character takes on the line: start bit, data, parity, stop.
double CharacterSeconds(const PortSettings& settings) {
    const double stop = settings.stopBits == 0 ? 1 : settings.stopBits == 1 ? 1.5 : 2;
    const double bits = 1 + settings.dataBits + (settings.parity != 0 ? 1 : 0) + stop;
    return bits / std::max<double>(settings.baud, 1);
}

} // namespace

StepBound LongestStep(const LineSettings& line, bool counts) {
    const double character = CharacterSeconds(line.settings);
    const double timeout = line.timeout / 100.0;
    // Each record is asked for and sent whole; the end reply is shorter.
    // An attempt that fails ends on one read time-out.
    const double record = (SCAN_REQUEST_BYTES + cis::STATUS_RECORD_SIZE) * character;
    const double attempt = (ZONE_COUNT + 1) * record + timeout;
    StepBound bound;
    bound.scanSeconds = SCAN_ATTEMPTS * attempt;
    // A count: every try cut off by a time-out, then, for an answer that
    // came on a retry, the drain until two time-outs of quiet.
    const double tryTime = (COUNT_REQUEST_BYTES + cis::COUNT_REPLY_SIZE) * character + timeout;
    const double count = COUNT_TRIES * tryTime + DRAIN_LIMIT_BYTES * character + 2 * timeout;
    bound.countSeconds = counts ? 2 * count : 0;
    const double listen = std::chrono::duration<double>(PanelLine::LATE_ANSWER_PATIENCE).count();
    bound.listenSeconds = (counts ? 3 : 1) * listen;
    return bound;
}

std::chrono::seconds WatchdogFor(const StepBound& step) {
    return std::chrono::seconds(static_cast<int64_t>(std::ceil(step.total() * 1.25 + 10)));
}

} // namespace xolhost
