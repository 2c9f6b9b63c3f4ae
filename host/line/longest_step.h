// How long one supervision step can last on a working line, from the line's
// settings: the status scan of a panel with every zone in a status, tried
// as often as the driver tries it, the count reads with all their tries,
// and the host's listening for late answers after each failed call. A
// service's watchdog must allow at least this between two keep-alives, or
// it would end a scan that is only long.
#pragma once

#include <chrono>

#include "module/driver.h"

namespace xolhost {

struct StepBound {
    double scanSeconds = 0;
    double countSeconds = 0;  // both counts, when they are read
    double listenSeconds = 0; // after failed calls
    double total() const { return scanSeconds + countSeconds + listenSeconds; }
};

StepBound LongestStep(const LineSettings& line, bool counts);

// The watchdog time a service needs for that step: a quarter more, and ten
// seconds for the journal's commit on a slow disk, in whole seconds.
std::chrono::seconds WatchdogFor(const StepBound& step);

} // namespace xolhost
