// The real module, loaded as a host loads it, against the simulated panel on
// a pseudo-terminal: each of the panel's faults with the outcome the
// driver's rules give for it.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "codec/frame_decode.h"
#include "module/driver.h"
#include "panel.h"
#include "process.h"
#include "scenario.h"
#include "support/two_zones.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using xolhost::Channel;
using xolhost::DriverModule;
using xolhost::Point;
using xolsim::FaultOptions;
using xoltest::TwoZones;

// Generous against a local pseudo-terminal, short enough to keep the three
// fruitless tries of a silent line well under a second.
constexpr uint32_t TIMEOUT_TICKS = 20;

DriverModule& Module() {
    static DriverModule module(XOL_MODULE_PATH);
    return module;
}

// A channel of the real module on a fresh simulated panel.
class Line {
public:
    explicit Line(FaultOptions faults = {}, xolsim::Scenario scenario = TwoZones())
        : panel_(std::move(scenario), faults), channel_(Module()) {
        xolhost::LineSettings line;
        line.port = panel_.portName();
        line.timeout = TIMEOUT_TICKS;
        line.settings = {2400, 8, 0, 2};
        EXPECT_EQ(channel_.open(line), RC_DONE) << line.port;
    }

    Point point(const std::string& address) {
        Point p;
        EXPECT_EQ(channel_.check(address, p), RC_DONE) << address;
        return p;
    }
    int32_t scan() {
        uint16_t value = 0xFFFF;
        int32_t result = channel_.read(point("!Z"), value);
        EXPECT_EQ(value, 0); // a read of !Z leaves 0, whatever the scan gave
        return result;
    }
    uint16_t zone(int number) {
        uint16_t value = 0xFFFF;
        EXPECT_EQ(channel_.read(point(fmt("P", number)), value), RC_DONE);
        return value;
    }
    int32_t count(char which, uint16_t& value) {
        return channel_.read(point(std::string("!") + which), value);
    }
    int32_t write(const std::string& address, uint16_t value) {
        return channel_.write(point(address), value);
    }
    // The whole snapshot, zone 1 first, in blocks of 1000.
    std::vector<uint16_t> table() {
        std::vector<uint16_t> zones;
        for (int first = 1; first <= ZONE_COUNT; first += 1000) {
            const int count = std::min(1000, ZONE_COUNT - first + 1);
            Point block;
            EXPECT_EQ(channel_.checkBlock(fmt("P", first), count, block), RC_DONE);
            std::vector<uint16_t> values;
            EXPECT_EQ(channel_.readBlock(block, count, values), RC_DONE);
            zones.insert(zones.end(), values.begin(), values.end());
        }
        return zones;
    }
    std::size_t framesReceived(const std::string& frame) {
        auto frames = panel_.panel().receivedFrames();
        return static_cast<std::size_t>(std::count(frames.begin(), frames.end(), frame));
    }
    xolsim::Panel& panel() { return panel_.panel(); }

private:
    static std::string fmt(const char* kind, int number) {
        char text[16];
        std::snprintf(text, sizeof text, "%s%04d", kind, number);
        return text;
    }

    xolsim::PtyPanel panel_;
    Channel channel_;
};

TEST(DriverAgainstPanel, WellBehavedPanelServesEveryOperation) {
    Line line;
    ASSERT_EQ(line.scan(), RC_DONE);
    EXPECT_EQ(line.zone(12), ZS_CODE1 | ZS_CODE7);
    EXPECT_EQ(line.zone(40), ZS_CODE8);
    EXPECT_EQ(line.zone(13), 0);
    uint16_t c = 0;
    uint16_t n = 0;
    EXPECT_EQ(line.count('C', c), RC_DONE);
    EXPECT_EQ(line.count('N', n), RC_DONE);
    EXPECT_EQ(c, 42);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(line.write("L0012", 2), RC_DONE);
    EXPECT_EQ(line.write("O031250", 1), RC_DONE);
    EXPECT_EQ(line.write("X0042", 0), RC_DONE);
    EXPECT_EQ(line.write("!D", 0), RC_DONE);
    EXPECT_EQ(line.framesReceived("@XEP0012B0\r"), 1u);
    EXPECT_EQ(line.framesReceived("@XDZ0000421C\r"), 1u);
}

TEST(DriverAgainstPanel, RefusedCommandsAreReportedAsRefused) {
    Line line;
    // The panel answers "U" for L0012 value 3: one frame, no retry.
    EXPECT_EQ(line.write("L0012", 3), RC_REFUSED);
    EXPECT_EQ(line.framesReceived("@XDP0012AF\r"), 1u);
    // The panel answers "?" to !R.
    EXPECT_EQ(line.write("!R", 0), RC_REFUSED);
    EXPECT_EQ(line.framesReceived("@R\r"), 1u);
    // The driver itself refuses a value the point does not take: nothing sent.
    auto before = line.panel().stats().requests;
    EXPECT_EQ(line.write("L0012", 4), RC_REFUSED);
    EXPECT_EQ(line.panel().stats().requests, before);
}

TEST(DriverAgainstPanel, SilentPanelFailsAndKeepsTheLastSnapshot) {
    Line line;
    ASSERT_EQ(line.scan(), RC_DONE);
    line.panel().silenceNext(-1);
    EXPECT_EQ(line.scan(), RC_FAILED);
    EXPECT_EQ(line.framesReceived("@S\r"), 1u + 3u);
    EXPECT_EQ(line.zone(12), ZS_CODE1 | ZS_CODE7);
    EXPECT_EQ(line.zone(40), ZS_CODE8);
    uint16_t count = 1234;
    EXPECT_EQ(line.count('C', count), RC_FAILED);
    EXPECT_EQ(count, 1234);
    EXPECT_EQ(line.write("L0012", 2), RC_FAILED);
    EXPECT_EQ(line.framesReceived("@XEP0012B0\r"), 3u);
    EXPECT_EQ(line.write("!S", 0), RC_FAILED);
}

TEST(DriverAgainstPanel, PanelFallingSilentAfterRecordsFailsTheNextScan) {
    FaultOptions faults;
    faults.silentAfterRecords = 4; // one more than a whole report
    Line line(faults);
    ASSERT_EQ(line.scan(), RC_DONE);
    EXPECT_EQ(line.scan(), RC_FAILED);
    EXPECT_EQ(line.zone(12), ZS_CODE1 | ZS_CODE7);
    EXPECT_EQ(line.zone(40), ZS_CODE8);
}

TEST(DriverAgainstPanel, BriefSilenceInsideAReportIsRecoveredByANewAttempt) {
    FaultOptions faults;
    faults.silentAfterRecords = 1;
    faults.silentRequests = 1;
    Line line(faults);
    EXPECT_EQ(line.scan(), RC_DONE);
    EXPECT_EQ(line.framesReceived("@S\r"), 2u);
    EXPECT_EQ(line.zone(12), ZS_CODE1 | ZS_CODE7);
    EXPECT_EQ(line.zone(40), ZS_CODE8);
}

TEST(DriverAgainstPanel, SilenceForTheFirstRequestsCostsAttempts) {
    FaultOptions two;
    two.silentRequests = 2;
    Line recovers(two);
    EXPECT_EQ(recovers.scan(), RC_DONE);
    EXPECT_EQ(recovers.framesReceived("@S\r"), 3u);
    EXPECT_EQ(recovers.zone(40), ZS_CODE8);

    FaultOptions three;
    three.silentRequests = 3;
    Line fails(three);
    EXPECT_EQ(fails.scan(), RC_FAILED);
    EXPECT_EQ(fails.zone(40), 0);
    uint16_t count = 0;
    EXPECT_EQ(fails.count('C', count), RC_DONE); // the silence is over
    EXPECT_EQ(count, 42);
}

TEST(DriverAgainstPanel, CorruptedRecordIsSkipped) {
    FaultOptions faults;
    faults.corruptEvery = 2; // the second record: zone 12, status code 7
    Line line(faults);
    ASSERT_EQ(line.scan(), RC_DONE);
    EXPECT_EQ(line.zone(12), ZS_CODE1);
    EXPECT_EQ(line.zone(40), ZS_CODE8);
    // Every record was still answered with a next request.
    EXPECT_EQ(line.framesReceived("@!\r"), 3u);
}

TEST(DriverAgainstPanel, CountRepliesWithBadChecksumsAreRefused) {
    FaultOptions faults;
    faults.corruptEvery = 1;
    Line line(faults);
    uint16_t count = 99;
    EXPECT_EQ(line.count('N', count), RC_REFUSED);
    EXPECT_EQ(count, 99);
    EXPECT_EQ(line.framesReceived("@PD\r"), 3u);
    // Every record corrupted: the scan completes with no zone set.
    EXPECT_EQ(line.scan(), RC_DONE);
    EXPECT_EQ(line.zone(12), 0);
}

TEST(DriverAgainstPanel, RepliesInPiecesAreGathered) {
    FaultOptions faults;
    faults.splitBytes = 3;
    faults.splitGap = 20ms; // well inside the read time-out
    Line line(faults);
    EXPECT_EQ(line.scan(), RC_DONE);
    EXPECT_EQ(line.zone(12), ZS_CODE1 | ZS_CODE7);
    uint16_t count = 0;
    EXPECT_EQ(line.count('C', count), RC_DONE);
    EXPECT_EQ(count, 42);
    EXPECT_EQ(line.write("L0012", 2), RC_DONE);
    EXPECT_EQ(line.framesReceived("@XEP0012B0\r"), 1u);
}

TEST(DriverAgainstPanel, PiecesSlowerThanTheTimeOutFail) {
    FaultOptions faults;
    faults.splitBytes = 3;
    faults.splitGap = 800ms; // four times the read time-out
    Line line(faults);
    uint16_t count = 5;
    EXPECT_EQ(line.count('C', count), RC_FAILED);
    EXPECT_EQ(count, 5);
}

TEST(DriverAgainstPanel, NoiseBeforeRepliesMisalignsThem) {
    FaultOptions always;
    always.noiseBytes = 1;
    Line noisy(always);
    // A command answer read one byte early has "@" where "!" should be.
    EXPECT_EQ(noisy.write("L0012", 2), RC_FAILED);
    EXPECT_EQ(noisy.framesReceived("@XEP0012B0\r"), 3u);
    // A count reply read one byte early fails its checksum on every try.
    uint16_t count = 0;
    EXPECT_EQ(noisy.count('C', count), RC_REFUSED);
    // No head of a report ever reads as the end reply.
    EXPECT_EQ(noisy.scan(), RC_FAILED);

    FaultOptions sometimes;
    sometimes.noiseBytes = 1;
    sometimes.noiseEvery = 2;
    Line retried(sometimes);
    EXPECT_EQ(retried.write("L0012", 2), RC_DONE); // the first answer is clean
    EXPECT_EQ(retried.write("L0012", 2), RC_DONE); // noisy, then a clean retry
    EXPECT_EQ(retried.framesReceived("@XEP0012B0\r"), 3u);
}

TEST(DriverAgainstPanel, DelayedReplies) {
    FaultOptions shortDelay;
    shortDelay.delay = 30ms;
    Line patient(shortDelay);
    EXPECT_EQ(patient.scan(), RC_DONE);
    EXPECT_EQ(patient.zone(12), ZS_CODE1 | ZS_CODE7);
    EXPECT_EQ(patient.write("T0007", 3), RC_DONE);

    FaultOptions longDelay;
    longDelay.delay = 1500ms; // past all three tries
    Line late(longDelay);
    auto start = Clock::now();
    EXPECT_EQ(late.write("L0012", 2), RC_FAILED);
    EXPECT_LT(Clock::now() - start, 1500ms);
}

TEST(DriverAgainstPanel, UnknownAnswerByteMakesTheDriverRetry) {
    FaultOptions once;
    once.unknownAnswers = 1;
    Line retried(once);
    EXPECT_EQ(retried.write("A0003", 0), RC_DONE);
    EXPECT_EQ(retried.panel().stats().requests, 2u);

    FaultOptions always;
    always.unknownAnswers = -1;
    Line fails(always);
    EXPECT_EQ(fails.write("A0003", 0), RC_FAILED);
    EXPECT_EQ(fails.panel().stats().requests, 3u);
    // Letter commands count any answer but "?" as done.
    EXPECT_EQ(fails.write("!D", 0), RC_DONE);
}

TEST(DriverAgainstPanel, PacedLineStillServesTheScan) {
    FaultOptions faults;
    faults.bitRate = 9600;
    Line line(faults);
    auto start = Clock::now();
    EXPECT_EQ(line.scan(), RC_DONE);
    // Three records and the end reply: 45 bytes of 11 bits at 9600 bit/s.
    EXPECT_GE(Clock::now() - start, 50ms);
    EXPECT_EQ(line.zone(12), ZS_CODE1 | ZS_CODE7);
}

TEST(DriverAgainstPanel, IllegalZonesAreLoggedAndIgnored) {
    std::mutex mutex;
    std::vector<std::string> logged;
    ASSERT_TRUE(Module().setLogSink([&](int cls, const std::string& text) {
        std::lock_guard lock(mutex);
        logged.push_back(std::to_string(cls) + " " + text);
    }));
    {
        Line line({}, xolsim::ParseScenario(R"({"zones": [
            {"zone": 0, "codes": [1]}, {"zone": 12, "codes": [2]}, {"zone": 6300, "codes": [3]}]})"));
        EXPECT_EQ(line.scan(), RC_DONE);
        EXPECT_EQ(line.zone(12), ZS_CODE2);
    }
    Module().setLogSink(nullptr);
    std::lock_guard lock(mutex);
    EXPECT_EQ(logged, (std::vector<std::string>{"32 XolES : Got Illegal zone address (0)",
                                                "32 XolES : Got Illegal zone address (6300)"}));
}

// A panel with many zones, for faults that must not end a report early.
xolsim::Scenario ManyZones() {
    xolsim::Scenario scenario;
    for (uint16_t zone = 5; zone <= 600; zone += 5) {
        scenario.zones[zone] = {2};
    }
    return scenario;
}

TEST(LineFaults, NoiseNeverEndsAReportEarly) {
    XOL_SKIP_LONG_CAMPAIGN();
    // Noise before some replies loses the records it lands on, never the
    // rest of the report; noise before every reply fails the scan.
    const struct {
        int bytes;
        int every;
        int32_t result;
    } cases[] = {{14, 1, RC_FAILED}, {14, 7, RC_DONE}, {3, 4, RC_DONE}, {1, 9, RC_DONE}};
    for (const auto& c : cases) {
        for (uint32_t seed : {1u, 2u, 3u}) {
            FaultOptions faults;
            faults.noiseBytes = c.bytes;
            faults.noiseEvery = c.every;
            faults.seed = seed;
            Line line(faults, ManyZones());
            const auto start = Clock::now();
            EXPECT_EQ(line.scan(), c.result) << c.bytes << "/" << c.every << " seed " << seed;
            EXPECT_LT(Clock::now() - start, 30s);
            if (c.result == RC_DONE) {
                // The last record before the end reply arrived: the report ran to its end.
                EXPECT_TRUE(line.zone(600) == ZS_CODE2 || line.zone(595) == ZS_CODE2)
                    << c.bytes << "/" << c.every << " seed " << seed;
            }
        }
    }
}

// Zones below 1000 with status codes 1 to 3, one record each. A 14-byte
// read that starts three bytes early sees the status code, "00" and the
// zone's first digit in the zone field and 'S' in the status code: such a
// record, if it passed its checksum, would set ZS_CODE3 of zone 1000, 2000 or
// 3000.
xolsim::Scenario CampaignPanel(int records) {
    xolsim::Scenario scenario;
    for (int i = 0; i < records; ++i) {
        const auto zone = static_cast<uint16_t>(7 + 23 * i);
        scenario.zones[zone] = {static_cast<uint8_t>(1 + zone % 3)};
    }
    return scenario;
}

struct CampaignTally {
    int scans = 0;
    int done = 0;
    int failed = 0;
    int noisyRecords = 0; // records the panel sent after a burst of noise
    int lostBits = 0;     // statuses missing from a done scan, every record of them spoiled
    int phantoms = 0;     // bits invented, or missing though delivered whole, in a done scan
};

// Judges a done scan's table against the scenario and the records the panel
// sent during the scan. The driver skips a spoiled record, so a status all
// of whose records were spoiled may be missing (the host holds such a clear);
// any other difference is a phantom.
void JudgeDoneScan(const xolsim::Scenario& scenario, const std::vector<uint16_t>& table,
                   const std::vector<xolsim::SentRecord>& sent, CampaignTally& tally) {
    std::vector<uint16_t> want(ZONE_COUNT, 0);
    for (const auto& [zone, codes] : scenario.zones) {
        for (uint8_t code : codes) {
            want[zone - 1] |= cis::StatusBitOfCode(code);
        }
    }
    std::vector<uint16_t> whole(ZONE_COUNT, 0);   // bits delivered unspoiled at least once
    std::vector<uint16_t> spoiled(ZONE_COUNT, 0); // bits sent, but only spoiled
    for (const xolsim::SentRecord& record : sent) {
        const uint16_t bit = cis::StatusBitOfCode(record.code);
        (record.noise || record.corrupted ? spoiled : whole)[record.zone - 1] |= bit;
    }
    for (int z = 0; z < ZONE_COUNT; ++z) {
        const uint16_t missing = want[z] & ~table[z];
        const uint16_t excused = missing & spoiled[z] & ~whole[z];
        tally.phantoms += std::popcount(static_cast<unsigned>(table[z] & ~want[z])) +
                          std::popcount(static_cast<unsigned>(missing & ~excused));
        tally.lostBits += std::popcount(static_cast<unsigned>(excused));
    }
}

TEST(LineFaults, NoiseCampaignInventsNoStatus) {
    XOL_SKIP_LONG_CAMPAIGN();
    // Short bursts before every second or third reply, mostly the three
    // bytes of the misaligned record above; each line serves a few scans.
    // Forty records and the end reply make 41 replies, so the noise lands on
    // other replies in each attempt; nine records and the end reply, with
    // noise before every second reply, put noise before every end reply, so
    // those scans fail.
    const struct {
        int bytes;
        int every;
        int records;
        bool fails;
    } lines[] = {{3, 2, 40, false}, {3, 3, 40, false}, {3, 2, 40, false}, {5, 2, 40, false},
                 {3, 2, 40, false}, {3, 2, 9, true},   {3, 3, 40, false}, {13, 3, 40, false}};
    constexpr uint32_t SEEDS = 16;
    constexpr int SCANS_PER_LINE = 2;
    CampaignTally tally;
    const auto start = Clock::now();
    for (uint32_t seed = 1; seed <= SEEDS; ++seed) {
        const auto& kind = lines[seed % std::size(lines)];
        FaultOptions faults;
        faults.noiseBytes = kind.bytes;
        faults.noiseEvery = kind.every;
        faults.seed = seed;
        const xolsim::Scenario scenario = CampaignPanel(kind.records);
        Line line(faults, scenario);
        for (int s = 0; s < SCANS_PER_LINE; ++s) {
            const std::vector<uint16_t> before = line.table();
            const std::size_t sentBefore = line.panel().sentRecords().size();
            const int32_t result = line.scan();
            const std::vector<uint16_t> after = line.table();
            const std::vector<xolsim::SentRecord> all = line.panel().sentRecords();
            const std::vector<xolsim::SentRecord> sent(
                all.begin() + static_cast<std::ptrdiff_t>(sentBefore), all.end());
            ++tally.scans;
            EXPECT_TRUE(!kind.fails || result == RC_FAILED) << "seed " << seed;
            for (const xolsim::SentRecord& record : sent) {
                tally.noisyRecords += record.noise ? 1 : 0;
            }
            if (result == RC_DONE) {
                ++tally.done;
                JudgeDoneScan(scenario, after, sent, tally);
            } else {
                ++tally.failed;
                EXPECT_EQ(result, RC_FAILED);
                EXPECT_EQ(after, before)
                    << "seed " << seed << ": a failed scan changed the snapshot";
            }
        }
    }
    const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("noise campaign: %d scans, %d done, %d failed, %d phantoms; %d noisy records, "
                "%d statuses lost to them in done scans; %.1f s\n",
                tally.scans, tally.done, tally.failed, tally.phantoms, tally.noisyRecords,
                tally.lostBits, seconds);
    ::testing::Test::RecordProperty("scans", tally.scans);
    ::testing::Test::RecordProperty("done", tally.done);
    ::testing::Test::RecordProperty("failed", tally.failed);
    ::testing::Test::RecordProperty("phantoms", tally.phantoms);
    EXPECT_EQ(tally.phantoms, 0);
    // The campaign means something only if noise met many records and most
    // scans still completed.
    EXPECT_GT(tally.noisyRecords, 300);
    EXPECT_GT(tally.done, tally.scans / 2);
}

TEST(LineFaults, LateAnswersNeverAnswerTheNextRequest) {
    XOL_SKIP_LONG_CAMPAIGN();
    // Answers 1.2 to 1.9 read time-outs late: each arrives while a retry of
    // the same frame waits, and the retry's own answer is drained.
    for (auto delay : {240ms, 300ms, 380ms}) {
        FaultOptions faults;
        faults.delay = delay;
        Line line(faults);
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(line.write("L0012", 2), RC_DONE) << delay.count();
            EXPECT_EQ(line.write("L0012", 3), RC_REFUSED) << delay.count();
            uint16_t c = 0;
            uint16_t n = 0;
            EXPECT_EQ(line.count('C', c), RC_DONE);
            EXPECT_EQ(line.count('N', n), RC_DONE);
            EXPECT_EQ(c, 42) << delay.count();
            EXPECT_EQ(n, 7) << delay.count();
            EXPECT_EQ(line.write("!R", 0), RC_REFUSED) << delay.count();
        }
        // The scan needs nothing of the kind: its records carry their zone,
        // so a stale one does no harm. Whether it completes is a race (the
        // restarted report's answers come exactly one time-out after the
        // first report's), but a scan that reports done has every zone, and
        // one that fails leaves the snapshot alone.
        const int32_t scanned = line.scan();
        EXPECT_TRUE(scanned == RC_DONE || scanned == RC_FAILED) << scanned;
        if (scanned == RC_DONE) {
            EXPECT_EQ(line.zone(12), ZS_CODE1 | ZS_CODE7);
            EXPECT_EQ(line.zone(40), ZS_CODE8);
        } else {
            EXPECT_EQ(line.zone(12), 0);
            EXPECT_EQ(line.zone(40), 0);
        }
    }
}

TEST(LineFaults, APanelThatStopsReadingCannotHoldACall) {
    // Nobody reads the panel's end: once the line's buffers are full, every
    // write waits at most its bound and the exchange fails.
    xolsim::PtyPair pair;
    ASSERT_TRUE(pair.ok()) << pair.error();
    Channel channel(Module());
    xolhost::LineSettings settings;
    settings.port = pair.portName();
    settings.timeout = TIMEOUT_TICKS;
    settings.settings = {2400, 8, 0, 2};
    ASSERT_EQ(channel.open(settings), RC_DONE);
    // Fill the line towards the panel through the pair's own slave descriptor.
    const int filler = pair.slave();
    ASSERT_EQ(fcntl(filler, F_SETFL, fcntl(filler, F_GETFL) | O_NONBLOCK), 0);
    const std::string block(4096, 'x');
    while (write(filler, block.data(), block.size()) > 0) {
    }

    xolhost::Point count;
    ASSERT_EQ(channel.check("!C", count), RC_DONE);
    uint16_t value = 77;
    const auto start = Clock::now();
    EXPECT_EQ(channel.read(count, value), RC_FAILED);
    // Three tries, each a bounded write (line time, time-out, margin) and a
    // time-out of waiting, then the drain: well under 5 s.
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(value, 77);
}

TEST(LineFaults, FarEndClosedMidScanThenAFreshLine) {
    FaultOptions slow;
    slow.bitRate = 2400; // about 64 ms a record: the report takes seconds
    auto panel = std::make_unique<xolsim::PtyPanel>(ManyZones(), slow);
    Channel channel(Module());
    xolhost::LineSettings settings;
    settings.port = panel->portName();
    settings.timeout = TIMEOUT_TICKS;
    settings.settings = {2400, 8, 0, 2};
    ASSERT_EQ(channel.open(settings), RC_DONE);
    xolhost::Point scan;
    ASSERT_EQ(channel.check("!Z", scan), RC_DONE);
    std::thread hangUp([&] {
        std::this_thread::sleep_for(500ms);
        panel.reset();
    });
    uint16_t value = 0;
    const auto start = Clock::now();
    EXPECT_EQ(channel.read(scan, value), RC_FAILED);
    hangUp.join();
    EXPECT_LT(Clock::now() - start, 10s);
    // The snapshot is the block's zero fill: no partial report was published.
    xolhost::Point zone;
    ASSERT_EQ(channel.check("P0005", zone), RC_DONE);
    ASSERT_EQ(channel.read(zone, value), RC_DONE);
    EXPECT_EQ(value, 0);

    // The channel opens again on a fresh line and serves it.
    EXPECT_EQ(channel.close(), RC_DONE);
    xolsim::PtyPanel fresh(ManyZones());
    settings.port = fresh.portName();
    ASSERT_EQ(channel.open(settings), RC_DONE);
    EXPECT_EQ(channel.read(scan, value), RC_DONE);
    ASSERT_EQ(channel.read(zone, value), RC_DONE);
    EXPECT_EQ(value, ZS_CODE2);
}

} // namespace
