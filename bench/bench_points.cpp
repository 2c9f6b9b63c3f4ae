// Address checks and zone reads: the calls a host makes most often, with no
// serial traffic. Figures per call.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include <xolest/xolest.h>

namespace {

void BM_CheckPoint(benchmark::State& state) {
    static constexpr std::array<const char*, 6> TEXTS{"P0017", "o031250", "!Z",
                                                      "A9999", "P6300",   "bogus"};
    PointDefinition d{};
    DriverRequest request{};
    request.function = FC_CHECK_POINT;
    request.params = &d;
    size_t i = 0;
    for (auto _ : state) {
        d.text = TEXTS[i++ % TEXTS.size()];
        benchmark::DoNotOptimize(XolMain(&request));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CheckPoint);

void BM_ReadBlock(benchmark::State& state) {
    auto context = std::make_unique<DriverContext>();
    std::memset(context.get(), 0, sizeof *context);
    for (int z = 0; z < ZONE_COUNT; ++z) {
        context->snapshotZones[z] = static_cast<uint8_t>(z & 0x1F);
    }
    const auto count = static_cast<int32_t>(state.range(0));
    std::vector<uint16_t> values(static_cast<size_t>(count));
    PointRequest point{};
    point.kind = PK_ZONE;
    point.number = 100;
    point.count = count;
    point.data = values.data();
    DriverRequest request{};
    request.context = context.get();
    request.function = FC_READ_BLOCK;
    request.params = &point;
    for (auto _ : state) {
        benchmark::DoNotOptimize(XolMain(&request));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_ReadBlock)->Arg(1)->Arg(50)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
