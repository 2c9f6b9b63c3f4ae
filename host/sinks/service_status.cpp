#include "sinks/service_status.h"

#include <fmt/format.h>

#include "present/timestamps.h"

namespace xolhost {

namespace {

int64_t Microseconds(std::chrono::seconds seconds) {
    return std::chrono::duration_cast<std::chrono::microseconds>(seconds).count();
}

const char* ScanOutcome(const ScanFigures& scan) {
    if (scan.result != RC_DONE) {
        return "failed";
    }
    return scan.watched && !scan.figures.clean() ? "incomplete" : "done";
}

} // namespace

std::string ServiceStatusText(const SupervisionState& state,
                              std::chrono::system_clock::time_point lastScan, bool utc) {
    std::string text = fmt::format("line {}", ChannelStateName(state.channel));
    if (state.lastScan) {
        text += fmt::format("; last scan {} {}", Rfc3339(lastScan, utc, 0, ' '),
                            ScanOutcome(*state.lastScan));
        if (state.lastScan->result == RC_DONE) {
            text += fmt::format(", {} zone{} in a status", state.zones.size(),
                                state.zones.size() == 1 ? "" : "s");
        }
    }
    if (!state.lastCompletedScan) {
        text += "; no scan completed yet";
    } else if (state.stale) {
        text += "; last completed " + Rfc3339(*state.lastCompletedScan, utc, 0, ' ');
    }
    text += fmt::format("; {} unacknowledged", state.unacknowledged.size());
    if (state.journalFailing) {
        text += "; journal failing";
    }
    return text;
}

std::string ServiceStatus::starting(const std::string& port, std::chrono::seconds longestStep,
                                    std::chrono::seconds watchdog) {
    // The first step comes before READY=1: the start must not time out
    // while it runs.
    std::string message = fmt::format("STATUS=first scan of {}\nEXTEND_TIMEOUT_USEC={}\n", port,
                                      Microseconds(longestStep + std::chrono::seconds(30)));
    std::string said;
    const auto given = manager_.watchdog();
    if (given.count() > 0 && given < watchdog) {
        message += fmt::format("WATCHDOG_USEC={}\n", Microseconds(watchdog));
        said = fmt::format("the service's watchdog ({} s) is shorter than the longest step these "
                           "line settings allow; raised to {} s",
                           std::chrono::duration_cast<std::chrono::seconds>(given).count(),
                           watchdog.count());
    }
    manager_.notify(message);
    return said;
}

void ServiceStatus::state(const SupervisionState& state) {
    if (state.scans != scans_) {
        scans_ = state.scans;
        lastScan_ = std::chrono::system_clock::now();
    }
    // A journal resumed before the first step is no sign of life yet.
    if (scans_ == 0) {
        return;
    }
    std::string message = ready_ ? "" : "READY=1\n";
    ready_ = true;
    keepAlive(message + "STATUS=" + ServiceStatusText(state, lastScan_, utc_) + "\n");
}

void ServiceStatus::alive() {
    const auto period = manager_.watchdog() / 4;
    if (ready_ && period.count() > 0 && Steady::now() - lastKeepAlive_ >= period) {
        keepAlive("");
    }
}

void ServiceStatus::stopping(const std::string& why) {
    manager_.notify(fmt::format("STOPPING=1\nSTATUS=stopping: {}\n", why));
}

void ServiceStatus::keepAlive(std::string message) {
    if (manager_.watchdog().count() > 0) {
        message += "WATCHDOG=1\n";
        lastKeepAlive_ = Steady::now();
    }
    if (!message.empty()) {
        manager_.notify(message);
    }
}

} // namespace xolhost
