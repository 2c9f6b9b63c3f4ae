// The driver module against a minimal reference client, side by side on the
// same simulated line in the same run: scan rate, line utilisation at paced
// bit rates, turnaround, system calls and CPU time per record, and the heap
// allocations a whole session makes inside the module. Prints one Markdown
// table. Exits 1 when an exchange failed or the module allocated; no time is
// judged here.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <xolest/xolest.h>

#include "libc_probe.h"
#include "panel.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t BITS_PER_BYTE = 11; // 8E1: start, eight data, parity, stop
constexpr uint32_t RECORD_BYTES = 14;
constexpr uint32_t END_BYTES = 3;
constexpr uint32_t REQUEST_BYTES = 3;
constexpr std::array<uint32_t, 3> PACED_RATES{2400, 19200, 57600};

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Nearest-rank percentile of nanosecond samples, in microseconds.
double PercentileUs(std::vector<int64_t> samples, double percent) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<size_t>(percent / 100.0 * static_cast<double>(samples.size()));
    return static_cast<double>(samples[std::min(rank, samples.size() - 1)]) / 1000.0;
}

// A scenario whose scan reports `zones` records, one per zone from 1 up,
// with counts and commands the panel answers as done.
xolsim::Scenario ScanScenario(uint32_t zones) {
    xolsim::Scenario scenario;
    scenario.name = "bench";
    for (uint32_t z = 1; z <= zones; ++z) {
        scenario.zones[static_cast<uint16_t>(z)] = {static_cast<uint8_t>(1 + z % 3)};
    }
    scenario.counts = {{'C', 2}, {'N', 5}};
    return scenario;
}

// The two sides under test: open and close are not timed, a scan is.
class Client {
public:
    virtual ~Client() = default;
    virtual bool open(const std::string& port, uint16_t baud) = 0;
    // One full status scan of a panel that reports `records` records.
    virtual bool scan(uint32_t records) = 0;
    // After the timed part: whether the scan's result holds every record.
    virtual bool verified(uint32_t) const { return true; }
    virtual void close() = 0;
};

// The module, called as a host calls it.
class DriverClient final : public Client {
public:
    DriverClient() : context_(std::make_unique<DriverContext>()) {
        std::memset(context_.get(), 0, sizeof *context_);
    }
    ~DriverClient() override { close(); }

    int32_t call(int32_t function, void* params) {
        DriverRequest request{};
        request.context = context_.get();
        request.function = function;
        request.params = params;
        return XolMain(&request);
    }

    bool open(const std::string& port, uint16_t baud) override {
        OpenRequest request{};
        std::strncpy(request.name, port.c_str(), sizeof request.name - 1);
        request.enabled = 1;
        request.timeout = 100; // 1 s: a paced record takes up to 64 ms
        request.settings = {baud, 8, 0, 2};
        return call(FC_OPEN_CHANNEL, &request) == RC_DONE;
    }

    bool scan(uint32_t) override {
        PointValue value{};
        PointRequest point{};
        point.kind = PK_SCAN;
        point.data = &value;
        return call(FC_READ_POINT, &point) == RC_DONE;
    }

    // Every zone reported shows in the snapshot.
    bool verified(uint32_t records) const override {
        const auto* zones = context_->snapshotZones;
        return std::count_if(zones, zones + ZONE_COUNT, [](uint8_t bits) { return bits != 0; }) ==
               static_cast<long>(records);
    }

    void close() override { (void)call(FC_CLOSE_CHANNEL, nullptr); }

private:
    std::unique_ptr<DriverContext> context_;
};

// Writes the request and reads the exact reply, nothing else.
class ReferenceClient final : public Client {
public:
    ~ReferenceClient() override { close(); }

    bool open(const std::string& port, uint16_t) override {
        fd_ = ::open(("/dev/" + port).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) {
            return false;
        }
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0) {
            return false;
        }
        cfmakeraw(&tio);
        // A read returns as soon as a byte is there; a dead panel ends it after 1 s.
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 10;
        return tcsetattr(fd_, TCSANOW, &tio) == 0;
    }

    bool scan(uint32_t records) override {
        static constexpr char START[] = "@S\r";
        static constexpr char NEXT[] = "@!\r";
        unsigned char reply[RECORD_BYTES];
        if (!send(START)) {
            return false;
        }
        for (uint32_t i = 0; i < records; ++i) {
            if (!receive(reply, RECORD_BYTES) || !send(NEXT)) {
                return false;
            }
        }
        return receive(reply, END_BYTES) && reply[0] == '@' && reply[1] == 'Z';
    }

    void close() override {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    bool send(const char* request) { return ::write(fd_, request, REQUEST_BYTES) == REQUEST_BYTES; }

    bool receive(unsigned char* reply, uint32_t count) {
        uint32_t got = 0;
        while (got < count) {
            const ssize_t n = ::read(fd_, reply + got, count - got);
            if (n <= 0) {
                return false;
            }
            got += static_cast<uint32_t>(n);
        }
        return true;
    }

    int fd_ = -1;
};

struct Run {
    double seconds = 0;
    double cpuSeconds = 0;
    uint64_t calls = 0;
};

struct Side {
    std::vector<Run> runs;
    std::vector<int64_t> turnarounds;
    std::vector<int64_t> roundTrips;
};

// One timed scan; its exchanges' times go to the end of the side's lists.
std::optional<Run> Measure(Client& client, const std::string& port, uint16_t baud, uint32_t records,
                           Side& side) {
    if (!client.open(port, baud)) {
        return std::nullopt;
    }
    const size_t kept = side.turnarounds.size();
    side.turnarounds.resize(kept + records + 1);
    side.roundTrips.resize(kept + records + 1);
    XolProbeRecordExchanges(side.turnarounds.data() + kept, side.roundTrips.data() + kept,
                            records + 1);
    XolProbeCountCalls(1);
    const double cpuStart = ThreadCpuSeconds();
    const Clock::time_point start = Clock::now();
    const bool ok = client.scan(records);
    const Clock::time_point end = Clock::now();
    const double cpuEnd = ThreadCpuSeconds();
    Run run;
    run.calls = XolProbeCalls();
    XolProbeCountCalls(0);
    side.turnarounds.resize(kept + XolProbeExchanges());
    side.roundTrips.resize(kept + XolProbeExchanges());
    XolProbeRecordExchanges(nullptr, nullptr, 0);
    client.close();
    if (!ok || !client.verified(records)) {
        return std::nullopt;
    }
    run.seconds = std::chrono::duration<double>(end - start).count();
    run.cpuSeconds = cpuEnd - cpuStart;
    return run;
}

// Rounds of one driver scan and one reference scan, the order alternating
// so that neither always runs first.
bool Alternate(DriverClient& driver, ReferenceClient& reference, const std::string& port,
               uint16_t baud, uint32_t records, int rounds, Side& driverSide, Side& referenceSide) {
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool driverTurn = (round + turn) % 2 == 0;
            Client& client = driverTurn ? static_cast<Client&>(driver) : reference;
            Side& side = driverTurn ? driverSide : referenceSide;
            const std::optional<Run> run = Measure(client, port, baud, records, side);
            if (!run) {
                fmt::print(stderr, "bench_compare: the {} scan failed ({} records, {} bit/s)\n",
                           driverTurn ? "driver's" : "reference client's", records, baud);
                return false;
            }
            side.runs.push_back(*run);
        }
    }
    return true;
}

// Per round: driver figure / reference figure.
std::vector<double> RoundRatios(const Side& driver, const Side& reference, auto figure) {
    std::vector<double> ratios;
    for (size_t i = 0; i < driver.runs.size() && i < reference.runs.size(); ++i) {
        ratios.push_back(figure(driver.runs[i]) / figure(reference.runs[i]));
    }
    return ratios;
}

std::vector<double> Each(const Side& side, auto figure) {
    std::vector<double> values;
    for (const Run& run : side.runs) {
        values.push_back(figure(run));
    }
    return values;
}

// A whole session as a host runs one, every operation and point kind, with
// allocations counted inside XolMain only. Returns the count, or nothing
// when a call did not give the answer the panel's scenario calls for.
std::optional<uint64_t> SessionAllocations(uint32_t zones) {
    xolsim::PtyPanel panel(ScanScenario(zones));
    DriverClient driver;
    uint64_t allocations = 0;
    bool asExpected = true;
    auto call = [&](int32_t function, void* params, int32_t expected) {
        XolProbeCountAllocations(1);
        const int32_t result = driver.call(function, params);
        XolProbeCountAllocations(0);
        allocations += XolProbeAllocations();
        if (result != expected) {
            fmt::print(stderr, "bench_compare: function {} answered {}, not {}\n", function, result,
                       expected);
            asExpected = false;
        }
    };
    const std::string port = panel.portName();

    DriverInfo info{};
    call(FC_DESCRIBE_DRIVER, &info, RC_DONE);
    OpenRequest open{};
    std::strncpy(open.name, port.c_str(), sizeof open.name - 1);
    open.enabled = 1;
    open.timeout = 100;
    open.settings = {2400, 8, 0, 2};
    call(FC_OPEN_CHANNEL, &open, RC_DONE);

    struct Point {
        const char* text;
        uint16_t value; // for writes
        PointDefinition definition;
    };
    std::array<Point, 13> points{{{"P0017", 0, {}},
                                  {"!Z", 0, {}},
                                  {"!C", 0, {}},
                                  {"!N", 0, {}},
                                  {"L0012", 2, {}},
                                  {"t0001", 3, {}},
                                  {"Q0001", 1, {}},
                                  {"A0001", 0, {}},
                                  {"O031250", 1, {}},
                                  {"X0042", 0, {}},
                                  {"!D", 0, {}},
                                  {"!R", 0, {}},
                                  {"!S", 0, {}}}};
    for (Point& point : points) {
        point.definition.text = point.text;
        call(FC_CHECK_POINT, &point.definition, RC_DONE);
    }
    PointDefinition invalid{};
    invalid.text = "P6300";
    call(FC_CHECK_POINT, &invalid, RC_REFUSED);
    PointDefinition block{};
    block.text = "P0001";
    block.count = 1000;
    call(FC_CHECK_BLOCK, &block, RC_DONE);

    auto request = [](const PointDefinition& definition, void* data) {
        PointRequest point{};
        point.kind = definition.kind;
        point.number = static_cast<uint32_t>(definition.number);
        point.data = data;
        return point;
    };
    // Reads: the scan, a zone, a block, both counts.
    for (size_t i : {1, 0, 2, 3}) {
        PointValue value{};
        PointRequest point = request(points[i].definition, &value);
        call(FC_READ_POINT, &point, RC_DONE);
    }
    std::array<uint16_t, 1000> values{};
    PointRequest blockRead = request(block, values.data());
    blockRead.count = block.count;
    call(FC_READ_BLOCK, &blockRead, RC_DONE);
    // Writes: every command kind, and a scan.
    for (size_t i : {4, 5, 6, 7, 8, 9, 10, 11, 12, 1}) {
        PointValue value{0, points[i].value};
        PointRequest point = request(points[i].definition, &value);
        call(FC_WRITE_POINT, &point, RC_DONE);
    }
    call(FC_PURGE_INPUT, nullptr, RC_DONE);
    call(FC_NOT_SERVED, nullptr, RC_REFUSED);
    call(FC_CLOSE_CHANNEL, nullptr, RC_DONE);
    ReconfigureRequest reconfigure{};
    std::memcpy(reconfigure.name, open.name, sizeof reconfigure.name);
    reconfigure.timeout = 50;
    reconfigure.settings = {19200, 8, 0, 2};
    call(FC_RECONFIGURE_CHANNEL, &reconfigure, RC_DONE);
    call(FC_CLOSE_CHANNEL_ALT, nullptr, RC_DONE);
    call(FC_REOPEN_CHANNEL, nullptr, RC_DONE);
    call(FC_CLOSE_CHANNEL, nullptr, RC_DONE);
    if (!asExpected) {
        return std::nullopt;
    }
    return allocations;
}

std::string Grouped(double value) {
    auto digits = fmt::format("{:.0f}", value);
    for (auto at = static_cast<long>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), " ");
    }
    return digits;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"The driver module against a minimal reference client on the simulated line"};
    bool quick = false;
    uint32_t zones = ZONE_COUNT;
    int rounds = 15;
    double pacedSeconds = 1.0;
    int pacedRounds = 7;
    app.add_flag("--short", quick, "a quick run that only shows everything still works (CI)");
    app.add_option("--zones", zones, "zones reporting in the unpaced scans")
        ->check(CLI::Range(1, static_cast<int>(ZONE_COUNT)));
    app.add_option("--rounds", rounds, "alternating rounds of unpaced scans")
        ->check(CLI::Range(1, 1000));
    app.add_option("--paced-seconds", pacedSeconds, "wire time of the replies of one paced scan")
        ->check(CLI::Range(0.01, 60.0));
    app.add_option("--paced-rounds", pacedRounds, "alternating rounds at each paced rate (0: none)")
        ->check(CLI::Range(0, 100));
    CLI11_PARSE(app, argc, argv);
    if (quick) {
        zones = std::min<uint32_t>(zones, 300);
        rounds = std::min(rounds, 3);
        pacedSeconds = std::min(pacedSeconds, 0.2);
        pacedRounds = std::min(pacedRounds, 1);
    }

    // The simulator's threads inherit this: its paced bytes leave on time
    // rather than up to the default 50 µs late.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    DriverClient driver;
    ReferenceClient reference;

    // Unpaced: scan rate, turnaround, system calls and CPU time per record.
    Side driverFast;
    Side referenceFast;
    {
        xolsim::PtyPanel panel(ScanScenario(zones));
        if (!Alternate(driver, reference, panel.portName(), 57600, zones, rounds, driverFast,
                       referenceFast)) {
            return 1;
        }
    }

    // Paced: the panel's own pace bounds both sides.
    struct Paced {
        uint32_t rate;
        uint32_t records;
        Side driver;
        Side reference;
    };
    std::vector<Paced> paced;
    for (uint32_t rate : pacedRounds > 0 ? std::span(PACED_RATES) : std::span<const uint32_t>()) {
        Paced at{rate, 0, {}, {}};
        at.records = std::max<uint32_t>(
            2, static_cast<uint32_t>(pacedSeconds * rate / (BITS_PER_BYTE * RECORD_BYTES)));
        xolsim::FaultOptions faults;
        faults.bitRate = rate;
        xolsim::PtyPanel panel(ScanScenario(at.records), faults);
        if (!Alternate(driver, reference, panel.portName(), static_cast<uint16_t>(rate), at.records,
                       pacedRounds, at.driver, at.reference)) {
            return 1;
        }
        paced.push_back(std::move(at));
    }

    const std::optional<uint64_t> allocations = SessionAllocations(20);

    const auto rate = [zones](const Run& run) { return zones / run.seconds; };
    const auto callsPerRecord = [zones](const Run& run) {
        return static_cast<double>(run.calls) / zones;
    };
    const auto cpuPerRecordUs = [zones](const Run& run) { return run.cpuSeconds * 1e6 / zones; };
    const std::vector<double> rateRatios = RoundRatios(driverFast, referenceFast, rate);

    fmt::print("| Figure | Driver | Reference client | Driver / reference | Target |\n");
    fmt::print("|---|--:|--:|--:|---|\n");
    fmt::print("| Scan rate, records/s ({} records, median of {} alternating rounds) | {} | {} | "
               "{:.3f} | ≥ 0.93 |\n",
               zones, rounds, Grouped(Median(Each(driverFast, rate))),
               Grouped(Median(Each(referenceFast, rate))), Median(rateRatios));
    for (const Paced& at : paced) {
        const uint64_t bytes = uint64_t{at.records} * RECORD_BYTES + END_BYTES;
        const double wireSeconds = static_cast<double>(bytes * BITS_PER_BYTE) / at.rate;
        const auto utilisation = [wireSeconds](const Run& run) {
            return wireSeconds / run.seconds;
        };
        fmt::print("| Line utilisation at {} bit/s 8E1 ({} records, median of {}) | {:.4f} | "
                   "{:.4f} | {:.4f} | ≥ 0.99 |\n",
                   at.rate, at.records, pacedRounds, Median(Each(at.driver, utilisation)),
                   Median(Each(at.reference, utilisation)),
                   Median(RoundRatios(at.driver, at.reference, utilisation)));
    }
    fmt::print("| Turnaround, median, µs (last reply byte in to next request out) | {:.1f} | "
               "{:.1f} | | |\n",
               PercentileUs(driverFast.turnarounds, 50),
               PercentileUs(referenceFast.turnarounds, 50));
    fmt::print("| Turnaround, 99th percentile, µs | {:.1f} | {:.1f} | | |\n",
               PercentileUs(driverFast.turnarounds, 99),
               PercentileUs(referenceFast.turnarounds, 99));
    fmt::print("| Round trip, median, µs (request out to last reply byte in) | {:.1f} | {:.1f} | "
               "| |\n",
               PercentileUs(driverFast.roundTrips, 50), PercentileUs(referenceFast.roundTrips, 50));
    fmt::print("| System calls per record (unpaced) | {:.2f} | {:.2f} | | ≤ 5; ≤ 4 with read-ahead "
               "|\n",
               Median(Each(driverFast, callsPerRecord)),
               Median(Each(referenceFast, callsPerRecord)));
    fmt::print("| CPU time per record, µs (client thread) | {:.2f} | {:.2f} | {:.3f} | |\n",
               Median(Each(driverFast, cpuPerRecordUs)),
               Median(Each(referenceFast, cpuPerRecordUs)),
               Median(RoundRatios(driverFast, referenceFast, cpuPerRecordUs)));
    if (allocations) {
        fmt::print("| Heap allocations in the module, whole session | {} | | | 0 |\n",
                   *allocations);
    } else {
        fmt::print("| Heap allocations in the module, whole session | session failed | | | 0 |\n");
    }
    // Every round's figures, for a judgement of the spread.
    std::string byRound;
    for (size_t i = 0; i < rateRatios.size(); ++i) {
        byRound +=
            fmt::format("{}{:.0f}/{:.0f} ({:.3f})", i == 0 ? "" : ", ", rate(driverFast.runs[i]),
                        rate(referenceFast.runs[i]), rateRatios[i]);
    }
    fmt::print(stderr,
               "bench_compare: scan rate by round, driver/reference records/s (ratio): {}\n",
               byRound);
    return allocations && *allocations == 0 ? 0 : 1;
}
