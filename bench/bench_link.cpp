// Panel exchanges over a real pseudo-terminal against the simulator: status
// scans (records per second), control commands and count queries (round
// trips per second), unpaced and paced at 2400 baud (11 bits per byte).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

#include <xolest/xolest.h>

#include "panel.h"
#include "support/driver_call.h"

namespace {

class Link {
public:
    Link(int zones, uint32_t bitRate) {
        xolsim::Scenario scenario;
        for (int z = 1; z <= zones; ++z) {
            scenario.zones[static_cast<uint16_t>(z)] = {static_cast<uint8_t>(1 + z % 3)};
        }
        scenario.counts = {{'C', 12}, {'N', 34}};
        xolsim::FaultOptions faults;
        faults.bitRate = bitRate;
        panel_ = std::make_unique<xolsim::PtyPanel>(scenario, faults);

        context_ = std::make_unique<DriverContext>();
        std::memset(context_.get(), 0, sizeof *context_);
        OpenRequest open{};
        const std::string name = panel_->portName();
        std::strncpy(open.name, name.c_str(), sizeof open.name - 1);
        open.enabled = 1;
        open.timeout = 100; // 1 s: a paced record takes tens of milliseconds
        open.settings = {2400, 8, 0, 2};
        ok_ = Call(FC_OPEN_CHANNEL, &open) == RC_DONE;
    }
    ~Link() { Call(FC_CLOSE_CHANNEL, nullptr); }

    bool ok() const { return ok_; }

    int32_t Call(int32_t code, void* params) {
        return xoltest::CallDriver(context_.get(), code, params);
    }

    int32_t Point(int32_t code, uint32_t kind, uint32_t number, uint16_t value = 0) {
        PointValue pointValue{0, value};
        PointRequest point{};
        point.kind = kind;
        point.number = number;
        point.data = &pointValue;
        return Call(code, &point);
    }

private:
    std::unique_ptr<xolsim::PtyPanel> panel_;
    std::unique_ptr<DriverContext> context_;
    bool ok_ = false;
};

void BM_StatusScan(benchmark::State& state) {
    const auto zones = static_cast<int>(state.range(0));
    const auto bitRate = static_cast<uint32_t>(state.range(1));
    Link link(zones, bitRate);
    if (!link.ok()) {
        state.SkipWithError("cannot open the simulator's pseudo-terminal");
        return;
    }
    for (auto _ : state) {
        if (link.Point(FC_READ_POINT, PK_SCAN, 0) != RC_DONE) {
            state.SkipWithError("scan failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * zones);
    state.counters["records/s"] = benchmark::Counter(static_cast<double>(zones),
                                                     benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_StatusScan)
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({6299, 0})
    ->Args({20, 2400})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_RoundTrip(benchmark::State& state) {
    Link link(0, static_cast<uint32_t>(state.range(1)));
    if (!link.ok()) {
        state.SkipWithError("cannot open the simulator's pseudo-terminal");
        return;
    }
    const bool command = state.range(0) == 0;
    for (auto _ : state) {
        const int32_t result = command ? link.Point(FC_WRITE_POINT, PK_CONTROL_L, 12, 2)
                                       : link.Point(FC_READ_POINT, PK_COUNT_C, 0);
        if (result != RC_DONE) {
            state.SkipWithError("exchange failed");
            return;
        }
    }
    state.counters["exchanges/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
// Arg 0: control command L0012 (11-byte frame, 3-byte answer); 1: count query.
BENCHMARK(BM_RoundTrip)
    ->ArgNames({"count", "baud"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 2400})
    ->Args({1, 2400})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
