// What the supervision benchmarks share: a panel whose zone 17 alternates,
// so that every scan gives one change, and a percentile of their samples.
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

#include "supervision/supervisor.h"

namespace xolbench {

inline double Percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0
                          : values[std::min(values.size() - 1,
                                            static_cast<std::size_t>(share * values.size()))];
}

struct Toggling : xolhost::SupervisedPanel {
    using Steady = std::chrono::steady_clock;
    bool on = false;
    std::mutex mutex;
    std::vector<Steady::time_point> scanEnded; // by scan, from the first

    xolhost::ScanResult scan() override {
        on = !on;
        xolhost::ScanResult scan;
        scan.result = RC_DONE;
        if (on) {
            scan.statuses[17] = ZS_CODE1;
        }
        std::lock_guard lock(mutex);
        scanEnded.push_back(Steady::now());
        return scan;
    }
    Steady::time_point lastScanEnded() {
        std::lock_guard lock(mutex);
        return scanEnded.empty() ? Steady::time_point() : scanEnded.back();
    }
    xolhost::CountResult readCount(char) override { return {}; }
    xolhost::CommandResult write(const std::string&, uint16_t) override { return {}; }
    bool channelOpen() const override { return true; }
    bool openChannel() override { return true; }
    void closeChannel() override {}
};

} // namespace xolbench
