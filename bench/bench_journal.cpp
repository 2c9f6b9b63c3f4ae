// The journal's cost: single-step transactions committed per second on the
// file system of the build tree (WAL, synchronous=FULL), and the time from
// a scan's end to its events reaching a sink, the journal's commit included.
// Prints Markdown rows; judges no figure.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <vector>

#include "journal/journal.h"
#include "supervision/supervisor.h"
#include "toggling_panel.h"

namespace {

using namespace xolhost;
using Steady = std::chrono::steady_clock;
using xolbench::Percentile;
using xolbench::Toggling;

struct Latency : EventSink {
    Toggling& panel;
    std::vector<double> ms;
    explicit Latency(Toggling& p) : panel(p) {}
    void event(const Event&) override {
        ms.push_back(
            std::chrono::duration<double, std::milli>(Steady::now() - panel.lastScanEnded())
                .count());
    }
};

} // namespace

int main(int argc, char** argv) {
    const int steps = argc > 1 && std::strcmp(argv[1], "--short") == 0 ? 50 : 2000;
    const auto folder =
        std::filesystem::current_path() / ("xol_bench_journal_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    double perSecond = 0;
    std::vector<double> latency;
    {
        auto journal =
            Journal::Open((folder / "bench.journal").string(), {"bench", "", ""}, nullptr, true);
        Toggling panel;
        Latency sink(panel);
        Supervisor supervisor(panel, {});
        supervisor.setJournal(*journal);
        supervisor.addSink(sink);
        auto start = Steady::now();
        for (int i = 0; i < steps; ++i) {
            supervisor.step();
        }
        perSecond = steps / std::chrono::duration<double>(Steady::now() - start).count();
        latency = sink.ms;
    }
    std::filesystem::remove_all(folder);
    std::printf("| Journal: scans with one event committed per second | %.0f | | | |\n", perSecond);
    std::printf("| Journal: scan end to its event shown, median ms | %.3f | | | |\n",
                Percentile(latency, 0.5));
    std::printf("| Journal: scan end to its event shown, 99th percentile ms | %.3f | | | |\n",
                Percentile(latency, 0.99));
    return 0;
}
