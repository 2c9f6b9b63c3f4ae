// xolhost as a technician at a panel meets it: the line watched through the
// relay (the trace, the scan's figures, the recording), each line fault with
// its own cause and exit code, and the command-line conventions.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/file.h>
#include <unistd.h>

#include "panel.h"
#include "process.h"
#include "scenario.h"

namespace {

using namespace std::chrono_literals;
using namespace xoltest;
using nlohmann::json;

// Three status records: zone 12 (codes 1 and 7) and zone 40 (code 8).
xolsim::Scenario Panel() {
    return xolsim::ParseScenario(R"({
        "zones": [{"zone": 12, "codes": [1, 7]}, {"zone": 40, "codes": [8]}],
        "counts": {"C": 42, "N": 7},
        "controls": {"points": {"L0012": {"refuse": [3]}}}})");
}

std::string Hex(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        text += "0123456789ABCDEF"[c >> 4];
        text += "0123456789ABCDEF"[c & 15];
    }
    return text;
}

std::string TempPath(const std::string& name) {
    return testing::TempDir() + "xolhost-" + std::to_string(::getpid()) + "-" + name;
}

TEST(TechnicianLine, TracedScanOverANoisyLineShowsEveryFrameAndTheLostRecords) {
    // A fresh panel for each run: the second of its three records is corrupted.
    auto scan = [](std::vector<std::string> args) {
        xolsim::FaultOptions faults;
        faults.corruptEvery = 2;
        xolsim::PtyPanel panel(Panel(), faults);
        return RunXolhostOn(panel.devicePath(), args);
    };
    Finished traced = scan({"--trace", "scan"});
    EXPECT_EQ(traced.exitCode, EXIT_DONE) << traced.err;
    EXPECT_TRUE(Contains(traced.err, "-> \"@S\\r\"")) << traced.err;
    EXPECT_TRUE(Contains(traced.err, "status record: zone 12, status code 1, checksum good"));
    EXPECT_TRUE(Contains(traced.err, "status record: zone 12, status code 7, checksum bad"));
    EXPECT_TRUE(Contains(traced.err, "the driver skipped this record: checksum bad"));
    EXPECT_TRUE(Contains(traced.err, "<- \"@Z\\r\""));
    EXPECT_TRUE(Contains(traced.err, "3 record(s), 1 bad checksum(s)"));
    EXPECT_TRUE(Contains(traced.err, "1 of 3 status record(s) were lost to bad checksums"));
    // Every trace line starts with an RFC 3339 time.
    std::regex stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}([+-]\d\d:\d\d|Z) (->|<-|::) )");
    EXPECT_TRUE(std::regex_search(traced.err.substr(traced.err.find('\n') + 1), stamp));
    // Zone 12 lost its code 7 with the record.
    EXPECT_TRUE(Contains(traced.out, "P0012  0x01  ZS_CODE1")) << traced.out;

    json done = ParseJson(scan({"scan", "--json"}).out);
    EXPECT_EQ(done["result"], "done");
    EXPECT_EQ(done["quality"]["records"], 3);
    EXPECT_EQ(done["quality"]["bad_checksums"], 1);

    Finished strict = scan({"scan", "--json", "--strict"});
    EXPECT_EQ(strict.exitCode, EXIT_FAILED);
    json failed = ParseJson(strict.out);
    EXPECT_EQ(failed["result"], "failed");
    EXPECT_EQ(failed["cause"], "checksum");
}

TEST(TechnicianLine, NoiseBeforeARecordLosesItToAnOutOfStepRead) {
    // Three noise bytes before every third reply, the third record: the
    // driver's read of it starts three bytes early.
    xolsim::FaultOptions faults;
    faults.noiseBytes = 3;
    faults.noiseEvery = 3;
    xolsim::PtyPanel panel(Panel(), faults);
    Finished strict = RunXolhostOn(panel.devicePath(), {"scan", "--strict"});
    EXPECT_EQ(strict.exitCode, EXIT_FAILED) << strict.err;
    EXPECT_TRUE(Contains(strict.err, "0 bad checksum(s)")) << strict.err;
    EXPECT_TRUE(Contains(strict.err, "1 out of step")) << strict.err;
    EXPECT_TRUE(Contains(strict.err, "1 of 3 status record(s) were lost to out-of-step reads"))
        << strict.err;
}

// Each fault of the line, as the technician meets it: its cause, its exit
// code and the advice in the message.
TEST(TechnicianLine, EachLineFaultHasItsOwnCause) {
    struct Case {
        const char* name;
        xolsim::FaultOptions faults;
        std::vector<std::string> args;
        int exitCode;
        std::string cause;
        std::string advice;      // a pattern: delays measured on a busy machine run long
        bool mayRecover = false; // a correct, complete result passes too
    };
    auto faults = [](auto set) {
        xolsim::FaultOptions f;
        set(f);
        return f;
    };
    const Case cases[] = {
        {"silent panel",
         faults([](auto& f) { f.silentAfterRecords = 0; }),
         {"scan"},
         EXIT_FAILED,
         "no_answer",
         "nothing came back"},
        // Late beyond all three tries: answers overlapping a retry would be
        // taken by it.
        {"late panel",
         faults([](auto& f) { f.delay = 150ms; }),
         {"read", "!C"},
         EXIT_FAILED,
         "late",
         "later than the time-out of 40 ms"},
        // Silence after good replies, and an answer that stops half-way, are
        // no answer, not noise.
        {"panel silent after a record",
         faults([](auto& f) { f.silentAfterRecords = 1; }),
         {"scan"},
         EXIT_FAILED,
         "no_answer",
         "then left the last 3 unanswered"},
        {"answer cut off",
         faults([](auto& f) {
             f.splitBytes = 7;
             f.splitGap = 3s;
         }),
         {"read", "!C"},
         EXIT_FAILED,
         "no_answer",
         "stopped in the middle"},
        // Late within the driver's tries, and late beyond them: the answers
        // that come after the call gave up are still heard. Within the tries,
        // each restart's answer races the next read's time-out, so that scan
        // may also end well on the answers to the earlier start requests.
        {"panel late by 1.3 time-outs",
         faults([](auto& f) { f.delay = 52ms; }),
         {"scan"},
         EXIT_FAILED,
         "late",
         "up to 5[2-9] ms",
         true},
        {"panel late by 7.5 time-outs",
         faults([](auto& f) { f.delay = 300ms; }),
         {"scan"},
         EXIT_FAILED,
         "late",
         "up to 3[0-2][0-9] ms"},
        {"noise",
         faults([](auto& f) { f.noiseBytes = 6; }),
         {"scan"},
         EXIT_FAILED,
         "garbage",
         "noise on the line"},
        {"corrupted count",
         faults([](auto& f) { f.corruptEvery = 1; }),
         {"read", "!C"},
         EXIT_FAILED,
         "checksum",
         "failed its checksum"},
        {"unknown answer",
         faults([](auto& f) { f.unknownAnswers = -1; }),
         {"write", "L0012", "2"},
         EXIT_FAILED,
         "unknown_answer",
         "did not understand"},
        {"panel refuses",
         {},
         {"write", "L0012", "3"},
         EXIT_REFUSED,
         "panel",
         "refused by the panel"},
        {"driver refuses",
         {},
         {"write", "L0012", "7"},
         EXIT_REFUSED,
         "value",
         R"(refused by the driver before sending: L points take 2 \(E\) or 3 \(D\))"},
    };
    for (const Case& c : cases) {
        xolsim::PtyPanel panel(Panel(), c.faults);
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        Finished run = RunXolhostOn(panel.devicePath(), args);
        json outcome = ParseJson(run.out);
        if (c.mayRecover && run.exitCode == EXIT_DONE) {
            ASSERT_EQ(outcome["zones"].size(), 2u) << c.name << "\n" << run.out;
            EXPECT_EQ(outcome["zones"][0]["status"], 9) << run.out;
            EXPECT_EQ(outcome["zones"][1]["status"], 16) << run.out;
            continue;
        }
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name << "\n" << run.out << run.err;
        EXPECT_EQ(outcome["cause"], c.cause) << c.name << "\n" << run.out;
        EXPECT_TRUE(std::regex_search(outcome.value("error", ""), std::regex(c.advice)))
            << c.name << "\n"
            << run.out;
        if (c.cause == "value") {
            EXPECT_EQ(panel.panel().stats().requests, 0u) << "the driver sent the value";
        }
        if (c.cause == "late") {
            // The time-out suggested is one that works.
            ASSERT_TRUE(outcome.contains("suggested_timeout")) << run.out;
            std::string ticks = std::to_string(outcome["suggested_timeout"].get<int>());
            xolsim::PtyPanel again(Panel(), c.faults);
            EXPECT_EQ(RunXolhostOn(again.devicePath(), {"--timeout", ticks, "scan"}).exitCode,
                      EXIT_DONE);
        }
    }
}

TEST(TechnicianLine, EachPortFaultHasItsOwnCause) {
    xolsim::PtyPanel panel(Panel());
    int held = ::open(panel.devicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    Finished busy = RunXolhostOn(panel.devicePath(), {"scan"});
    ::close(held);
    EXPECT_EQ(busy.exitCode, EXIT_FAILED);
    EXPECT_TRUE(Contains(busy.err, "xolhost: cannot open the port")) << busy.err;
    EXPECT_TRUE(Contains(busy.err, "another program holds it"));

    Finished missing = RunXolhost({"--port", "ttyNOSUCH9", "scan", "--json"});
    EXPECT_EQ(missing.exitCode, EXIT_FAILED);
    EXPECT_EQ(ParseJson(missing.out)["cause"], "port_missing");
    EXPECT_TRUE(
        Contains(ParseJson(missing.out)["error"].get<std::string>(), "No such file or directory"));

    for (const char* mode : {"--trace", "--direct"}) {
        Finished stop =
            RunXolhostOn(panel.devicePath(), {mode, "--stop-bits", "1.5", "scan", "--json"});
        EXPECT_EQ(stop.exitCode, EXIT_FAILED) << mode;
        EXPECT_EQ(ParseJson(stop.out)["cause"], "port_setting") << mode << stop.out;
    }

    // A long link name (as under /dev/serial/by-id/) reaches the device,
    // through the relay and handed to the driver.
    std::string link = TempPath("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    ASSERT_EQ(::symlink(panel.devicePath().c_str(), link.c_str()), 0);
    EXPECT_EQ(RunXolhost({"--port", link, "scan"}).exitCode, EXIT_DONE);
    EXPECT_EQ(RunXolhost({"--port", link, "--direct", "scan"}).exitCode, EXIT_DONE);
    ::unlink(link.c_str());
}

// What a scan that lost records says: an incomplete scan under --strict on
// standard output with what to do, and no hint to use an option already given.
TEST(TechnicianLine, ScanMessagesSayWhatHappened) {
    auto scan = [](std::vector<std::string> args) {
        xolsim::FaultOptions faults;
        faults.corruptEvery = 2;
        xolsim::PtyPanel panel(Panel(), faults);
        return RunXolhostOn(panel.devicePath(), args);
    };
    Finished strict = scan({"scan", "--strict"});
    EXPECT_EQ(strict.exitCode, EXIT_FAILED);
    EXPECT_TRUE(Contains(strict.out, "Scan incomplete after")) << strict.out;
    EXPECT_TRUE(Contains(strict.out, "scan again")) << strict.out;
    EXPECT_FALSE(Contains(strict.out, "Scan done")) << strict.out;

    Finished plain = scan({"scan"});
    EXPECT_TRUE(Contains(plain.err, "--strict makes this a failure; --trace shows the frames"));
    for (const Finished& given :
         {scan({"scan", "--trace"}), scan({"scan", "--strict", "--trace"})}) {
        EXPECT_TRUE(Contains(given.err + given.out, "were lost to bad checksums")) << given.err;
        EXPECT_FALSE(Contains(given.err + given.out, "--trace shows")) << given.err << given.out;
    }
}

TEST(TechnicianLine, MonitorReportsAClearedStatusOnlyAfterACleanScan) {
    xolsim::FaultOptions faults;
    faults.corruptEvery = 4; // one record in four: most scans lose one
    xolsim::PtyPanel panel(Panel(), faults);
    Finished run = RunXolhostOn(
        panel.devicePath(), {"monitor", "--interval", "0.05", "--scans", "8", "--json", "--utc"});
    EXPECT_EQ(run.exitCode, EXIT_DONE) << run.err;
    int incomplete = 0;
    std::regex utc(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)");
    for (const json& line : ParseJsonLines(run.out)) {
        EXPECT_TRUE(std::regex_match(line.value("time", ""), utc)) << line;
        // The panel's statuses never change: every change would be false.
        EXPECT_NE(line["event"], "change") << run.out;
        incomplete += line["event"] == "scan_incomplete";
    }
    EXPECT_GT(incomplete, 0) << run.out;
}

TEST(TechnicianLine, RecordingHoldsEveryByteBothWays) {
    xolsim::PtyPanel panel(Panel());
    std::string file = TempPath("recording.jsonl");
    ASSERT_EQ(RunXolhostOn(panel.devicePath(), {"--record", file, "read", "!C"}).exitCode,
              EXIT_DONE);
    std::ifstream in(file);
    std::vector<json> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(ParseJson(line));
    }
    ::unlink(file.c_str());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0]["xolhost_recording"], 1);
    EXPECT_EQ(lines[0]["baud"], 2400);
    std::string sent;
    std::string received;
    double last = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_GE(lines[i]["t"].get<double>(), last);
        last = lines[i]["t"];
        (lines[i]["dir"] == "to_panel" ? sent : received) += lines[i]["hex"].get<std::string>();
    }
    EXPECT_EQ(sent, Hex("@PA\r"));
    EXPECT_EQ(received, Hex("@PA004257\r")); // 42, checksum 0x57
}

// A trace or recording that cannot be written (here: a full disk) is said at
// once and ends a command with exit status 74; monitor goes on supervising.
TEST(TechnicianLine, ATraceOrRecordingThatCannotBeWrittenIsSaidAtOnce) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string says;
        bool results; // the command's results on standard output all the same
    };
    const Case cases[] = {
        {{"--record", "/dev/full", "scan"},
         EXIT_OUTPUT,
         "xolhost: --record /dev/full cannot be written: No space left on device",
         false},
        {{"--trace-file", "/dev/full", "scan"},
         EXIT_OUTPUT,
         "xolhost: --trace-file /dev/full cannot be written: No space left on device",
         true},
        {{"--record", "/dev/full", "monitor", "--scans", "2", "--interval", "0.1"},
         EXIT_DONE,
         "xolhost: warning: --record /dev/full cannot be written: No space left on device; "
         "supervision goes on without it",
         true},
    };
    for (const Case& c : cases) {
        xolsim::PtyPanel panel(Panel());
        Finished run = RunXolhostOn(panel.devicePath(), c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args.back() << "\n" << run.err;
        EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
        EXPECT_EQ(Contains(run.out, "P0012"), c.results) << run.out;
    }
}

TEST(TechnicianConventions, CommandLineAndOutput) {
    Finished version = RunXolhost({"-V"});
    EXPECT_EQ(version.exitCode, EXIT_DONE);
    EXPECT_TRUE(Contains(version.out, "xolhost ")) << version.out;
    EXPECT_TRUE(ParseJson(RunXolhost({"describe", "--json"}).out).contains("version"));

    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case usage[] = {
        {{"scna"}, "did you mean \"scan\""},
        {{"--timeout", "abc", "--simulate", "scan"}, "\"abc\" is not a number"},
        {{"--simulate", "monitor", "--interval", "nan"}, "not a number of seconds"},
        {{"--simulate", "monitor", "--interval", "-1"}, "0..86400"},
        {{"--port", "tty", "scan"}, "own terminal"},
    };
    for (const Case& c : usage) {
        Finished run = RunXolhost(c.args);
        EXPECT_EQ(run.exitCode, EXIT_USAGE) << c.args.front() << run.err;
        EXPECT_TRUE(Contains(run.err, "xolhost: ")) << run.err;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    }

    Finished ms = RunXolhost({"--simulate", "--timeout", "40ms", "--trace-panel", "read", "!N"});
    EXPECT_EQ(ms.exitCode, EXIT_DONE) << ms.err;
    EXPECT_FALSE(Contains(ms.err, "warning"));
    Finished ignored = RunXolhost({"--trace-panel", "describe"});
    EXPECT_TRUE(Contains(ignored.err, "xolhost: warning: --trace-panel is ignored")) << ignored.err;

    // Bytes that are not UTF-8 still give JSON.
    Finished odd = RunXolhost({"check",
                               "P\xff"
                               "01",
                               "--json"});
    EXPECT_EQ(odd.exitCode, EXIT_REFUSED);
    EXPECT_EQ(ParseJson(odd.out)["result"], "refused");

    Finished full = xoltest::Run(
        {"/bin/sh", "-c", std::string(XOLHOST_PATH) + " --simulate scan --json >/dev/full"});
    EXPECT_EQ(full.exitCode, EXIT_OUTPUT);
    EXPECT_TRUE(Contains(full.err, "could not be written")) << full.err;

    std::string scenario = TempPath("huge.json");
    std::ofstream(scenario) << R"({"counts": {"C": 1e999}})";
    Finished huge = RunXolhost({"--simulate", scenario, "scan"});
    ::unlink(scenario.c_str());
    EXPECT_EQ(huge.exitCode, EXIT_USAGE) << huge.err;
    EXPECT_TRUE(Contains(huge.err, "number overflow")) << huge.err;
}

TEST(TechnicianConventions, TimesCarryTheLocalOffset) {
    ::setenv("TZ", "Asia/Kolkata", 1);
    Finished run = RunXolhost({"--simulate", "monitor", "--scans", "1", "--json"});
    ::unsetenv("TZ");
    std::vector<json> lines = ParseJsonLines(run.out);
    ASSERT_FALSE(lines.empty()) << run.err;
    EXPECT_TRUE(std::regex_search(lines[0].value("time", ""), std::regex(R"(\+05:30$)")))
        << lines[0];
}

TEST(TechnicianConventions, TerminationClosesTheChannelAndSaysSo) {
    xolsim::FaultOptions faults;
    faults.bitRate = 300; // the scan takes long enough to be interrupted
    xolsim::PtyPanel panel(Panel(), faults);
    Process host({XOLHOST_PATH, "--port", panel.devicePath(), "--timeout", "50", "scan", "--json"});
    ASSERT_TRUE(WaitUntil([&] { return !panel.panel().receivedFrames().empty(); }));
    host.signal(SIGTERM);
    Finished run = host.wait();
    EXPECT_EQ(run.exitCode, EXIT_INTERRUPTED) << run.err;
    json outcome = ParseJson(run.out);
    EXPECT_EQ(outcome["result"], "interrupted");
    EXPECT_EQ(outcome["signal"], "SIGTERM");
    EXPECT_EQ(panel.panel().stats().reportsEnded, 1u) << "the running scan was cut short";
}

TEST(TechnicianConventions, SiteFileNamesZonesCodesAndPoints) {
    std::string site = TempPath("site.json");
    std::ofstream(site) << R"({"site": "Main building",
        "zones": {"12": "stairwell east, 2nd floor"},
        "codes": {"1": "fire alarm"},
        "points": {"l0012": "sounders, east wing"}})";
    xolsim::PtyPanel panel(Panel());
    Finished scan = RunXolhostOn(panel.devicePath(), {"--site", site, "scan"});
    EXPECT_TRUE(Contains(scan.out,
                         "P0012  0x09  ZS_CODE1 (fire alarm) ZS_CODE7  [Zone 12: stairwell "
                         "east, 2nd floor]"))
        << scan.out;
    json read = ParseJson(
        RunXolhostOn(panel.devicePath(), {"--site", site, "read", "P0012", "--json"}).out);
    EXPECT_EQ(read["location"], "stairwell east, 2nd floor");
    EXPECT_EQ(read["meanings"]["ZS_CODE1"], "fire alarm");
    Finished write = RunXolhostOn(panel.devicePath(), {"--site", site, "write", "L0012", "2"});
    EXPECT_EQ(write.out, "L0012 (sounders, east wing) <- 2: done\n");

    // Classes of codes: only an alarm, fault or supervisory status (or one of
    // a code given no class) waits for an operator.
    std::ofstream(site) << R"({"codes": {"1": {"name": "fire alarm", "class": "alarm"},
        "7": {"name": "sounders off", "class": "disabled"}, "8": {"name": "test", "class": "other"}}})";
    const std::string journal = TempPath("classes.journal");
    Finished watched = RunXolhostOn(
        panel.devicePath(), {"--site", site, "monitor", "--scans", "1", "--journal", journal});
    ASSERT_EQ(watched.exitCode, EXIT_DONE) << watched.err;
    std::vector<json> waiting = ParseJsonLines(
        RunXolhost({"journal", "--journal", journal, "--unacknowledged", "--format", "jsonl"}).out);
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0]["zone"], 12);
    std::filesystem::remove(journal);

    for (const char* text : {R"({"zones": {"twelve": "x"}})",
                             R"({"codes": {"1": {"name": "fire", "class": "panic"}}})"}) {
        std::ofstream(site) << text;
        Finished bad = RunXolhost({"--site", site, "describe"});
        EXPECT_EQ(bad.exitCode, EXIT_USAGE) << text;
        EXPECT_TRUE(Contains(bad.err, "zones.twelve") || Contains(bad.err, "codes.1.class"))
            << bad.err;
    }
    ::unlink(site.c_str());
}

TEST(TechnicianConventions, SiteFileRefusesTwoKeysForOneName) {
    // Each pair names one zone, code or point: the second would replace the first.
    const std::pair<const char*, const char*> cases[] = {
        {R"({"zones": {"12": "hall", "0012": "stairs"}})", "zone 12 is already named"},
        {R"({"codes": {"7": "fault", "07": {"name": "test"}}})", "code 7 is already named"},
        {R"({"points": {"L0012": "sounders", "l0012": "bells"}})", "point L0012 is already named"},
    };
    std::string site = TempPath("twice.json");
    for (const auto& [text, message] : cases) {
        std::ofstream(site) << text;
        Finished bad = RunXolhost({"--site", site, "describe"});
        EXPECT_EQ(bad.exitCode, EXIT_USAGE) << text;
        EXPECT_TRUE(Contains(bad.err, message)) << text << " gave: " << bad.err;
    }
    ::unlink(site.c_str());
}

} // namespace
