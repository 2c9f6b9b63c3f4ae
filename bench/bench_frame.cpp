// The frame layer's checksum: computed for every frame sent and verified for
// every record received. Figures per frame.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "protocol/frame.h"

namespace {

// A status record and the longest command frame, as they cross the line.
constexpr std::array<uint8_t, 14> RECORD{'@', 'S', '0', '0', '1', '0', '0',
                                         '0', '0', '1', '7', '4', '5', '\r'};
constexpr std::array<uint8_t, 15> COMMAND{'@', 'X', 'A', 'O', '0', '3', '0', '0',
                                          '1', '2', '5', '0', '0', '0', '\r'};

void BM_CisChecksum(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(xol::CisChecksum(COMMAND.data(), COMMAND.size()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CisChecksum);

void BM_CisVerify(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(xol::CisVerify(RECORD.data(), RECORD.size()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CisVerify);

} // namespace

BENCHMARK_MAIN();
