// xolhost and xolpanel as a user runs them: every command in text and JSON,
// the exit codes, Ctrl-C, and the two programs against each other.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "codec/text.h"
#include "panel.h"
#include "process.h"
#include "scenario.h"
#include "support/two_zones.h"

namespace {

using namespace std::chrono_literals;
using namespace xoltest;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

// xolhost against a panel, with a time-out that suits panels answering at once.
Finished HostOn(xolsim::PtyPanel& panel, std::vector<std::string> args) {
    args.insert(args.begin(), {"--timeout", "20"});
    return RunXolhostOn(panel.devicePath(), std::move(args));
}

// Waits for the panel to receive `frame`: the program is then in that exchange.
void WaitForFrame(xolsim::Panel& panel, const std::string& frame) {
    bool received = WaitUntil([&] {
        auto frames = panel.receivedFrames();
        return std::find(frames.begin(), frames.end(), frame) != frames.end();
    });
    ASSERT_TRUE(received) << "the panel never received " << cis::Printable(frame);
}

TEST(Xolhost, DescribeShowsTheBannerInUtf8) {
    Finished text = RunXolhost({"describe"});
    EXPECT_EQ(text.exitCode, EXIT_DONE) << text.err;
    EXPECT_TRUE(Contains(text.out, " ╔═══")) << text.out;
    EXPECT_TRUE(
        Contains(text.out, "║ █████▓▓▓▓▓▓▒▒▒▒▒▒░░░░░░ X O L E S ░░░░░░▒▒▒▒▒▒▓▓▓▓▓▓█████ ║"));
    EXPECT_TRUE(Contains(text.out, "EST (driver code 70)"));
    EXPECT_TRUE(Contains(text.out, "2400 baud, 8 data bits, even parity, 1 stop bit"));

    Finished js = RunXolhost({"describe", "--json"});
    EXPECT_EQ(js.exitCode, EXIT_DONE);
    json d = ParseJson(js.out);
    EXPECT_EQ(d["result"], "done");
    EXPECT_EQ(d["short_name"], "EST");
    EXPECT_EQ(d["driver_code"], 70);
    EXPECT_EQ(d["context_size"], 12632);
    EXPECT_EQ(d["defaults"]["timeout"], 4);
    EXPECT_EQ(d["defaults"]["parity"], "even");
    std::string banner = d["banner"];
    EXPECT_EQ(std::count(banner.begin(), banner.end(), '\n'), 7);
    EXPECT_TRUE(Contains(banner, "╚"));
}

TEST(Xolhost, CheckReportsEachAddress) {
    Finished ok = RunXolhost({"check", "P0017", "o031250", "!z", "A9999"});
    EXPECT_EQ(ok.exitCode, EXIT_DONE);
    EXPECT_TRUE(Contains(ok.out, "P0017     done     kind P, number 17")) << ok.out;
    EXPECT_TRUE(Contains(ok.out, "o031250   done     kind O, group 3, zone 1250"));
    EXPECT_TRUE(Contains(ok.out, "!z        done     kind Z, system point"));

    Finished bad = RunXolhost({"check", "P0017", "P6300", "--json"});
    EXPECT_EQ(bad.exitCode, EXIT_REFUSED);
    json c = ParseJson(bad.out);
    EXPECT_EQ(c["result"], "refused");
    ASSERT_EQ(c["points"].size(), 2u);
    EXPECT_EQ(c["points"][0]["number"], 17);
    EXPECT_EQ(c["points"][1]["result"], "refused");

    EXPECT_EQ(RunXolhost({"check", "P0100", "--count", "1000"}).exitCode, EXIT_DONE);
    Finished block = RunXolhost({"check", "P0100", "--count", "1001"});
    EXPECT_EQ(block.exitCode, EXIT_REFUSED);
    EXPECT_TRUE(Contains(block.out, "refused"));
}

TEST(Xolhost, ScanListsZonesByTheirBitNames) {
    xolsim::PtyPanel panel(TwoZones());
    Finished text = HostOn(panel, {"scan"});
    EXPECT_EQ(text.exitCode, EXIT_DONE) << text.err;
    EXPECT_TRUE(Contains(text.out, "2 zone(s) with a status")) << text.out;
    EXPECT_TRUE(Contains(text.out, "P0012  0x09  ZS_CODE1 ZS_CODE7"));
    EXPECT_TRUE(Contains(text.out, "P0040  0x10  ZS_CODE8"));

    Finished js = HostOn(panel, {"scan", "--json"});
    EXPECT_EQ(js.exitCode, EXIT_DONE);
    json s = ParseJson(js.out);
    EXPECT_EQ(s["result"], "done");
    ASSERT_EQ(s["zones"].size(), 2u);
    EXPECT_EQ(s["zones"][0]["zone"], 12);
    EXPECT_EQ(s["zones"][0]["status"], 9);
    EXPECT_EQ(s["zones"][0]["bits"], json({"ZS_CODE1", "ZS_CODE7"}));
}

TEST(Xolhost, ReadPointsCountsAndBlocks) {
    xolsim::PtyPanel panel(TwoZones());
    Finished zone = HostOn(panel, {"read", "P0012"});
    EXPECT_EQ(zone.exitCode, EXIT_DONE) << zone.err;
    EXPECT_EQ(zone.out, "P0012 = 0x09  ZS_CODE1 ZS_CODE7\n");
    // Without the scan, a new context's snapshot is empty.
    EXPECT_EQ(HostOn(panel, {"read", "P0012", "--no-scan"}).out, "P0012 = 0x00  \n");

    Finished c = HostOn(panel, {"read", "!C"});
    EXPECT_EQ(c.exitCode, EXIT_DONE);
    EXPECT_EQ(c.out, "!C = 42\n");
    json n = ParseJson(HostOn(panel, {"read", "!N", "--json"}).out);
    EXPECT_EQ(n["value"], 7);
    EXPECT_EQ(n["kind"], "N");

    Finished block = HostOn(panel, {"read", "P0011", "--count", "3", "--json"});
    EXPECT_EQ(block.exitCode, EXIT_DONE);
    json b = ParseJson(block.out);
    ASSERT_EQ(b["zones"].size(), 3u);
    EXPECT_EQ(b["zones"][0]["status"], 0);
    EXPECT_EQ(b["zones"][1]["status"], 9);
    EXPECT_EQ(b["zones"][2]["zone"], 13);

    Finished scan = HostOn(panel, {"read", "!Z"});
    EXPECT_EQ(scan.exitCode, EXIT_DONE);
    EXPECT_EQ(scan.out, "!Z: scan done\n");

    Finished control = HostOn(panel, {"read", "A0001"});
    EXPECT_EQ(control.exitCode, EXIT_REFUSED);
    EXPECT_TRUE(Contains(control.err, "points of kind A cannot be read")) << control.err;
}

TEST(Xolhost, WriteReportsDoneRefusedAndFailed) {
    xolsim::PtyPanel panel(TwoZones());
    Finished done = HostOn(panel, {"write", "L0012", "2"});
    EXPECT_EQ(done.exitCode, EXIT_DONE) << done.err;
    EXPECT_EQ(done.out, "L0012 <- 2: done\n");

    Finished refused = HostOn(panel, {"write", "L0012", "3"});
    EXPECT_EQ(refused.exitCode, EXIT_REFUSED);
    EXPECT_TRUE(Contains(refused.err, "L0012 <- 3: refused")) << refused.err;

    json letter = ParseJson(HostOn(panel, {"write", "!R", "0", "--json"}).out);
    EXPECT_EQ(letter["result"], "refused");
    EXPECT_EQ(letter["kind"], "R");
    EXPECT_EQ(HostOn(panel, {"write", "!D", "0"}).exitCode, EXIT_DONE);

    // A value the point does not take never reaches the panel.
    auto before = panel.panel().stats().requests;
    EXPECT_EQ(HostOn(panel, {"write", "O031250", "2"}).exitCode, EXIT_REFUSED);
    EXPECT_EQ(panel.panel().stats().requests, before);

    xolsim::FaultOptions faults;
    faults.unknownAnswers = -1;
    xolsim::PtyPanel confused(TwoZones(), faults);
    Finished failed = HostOn(confused, {"write", "L0012", "2", "--json"});
    EXPECT_EQ(failed.exitCode, EXIT_FAILED);
    EXPECT_EQ(ParseJson(failed.out)["result"], "failed");
}

TEST(Xolhost, SilentPanelGivesFailedWithExitCode2) {
    xolsim::FaultOptions faults;
    faults.silentRequests = -1;
    faults.silentAfterRecords = 0;
    xolsim::PtyPanel panel(TwoZones(), faults);
    Finished scan = HostOn(panel, {"scan"});
    EXPECT_EQ(scan.exitCode, EXIT_FAILED);
    EXPECT_TRUE(Contains(scan.err, "the scan failed")) << scan.err;
    json js = ParseJson(HostOn(panel, {"scan", "--json"}).out);
    EXPECT_EQ(js["result"], "failed");
    EXPECT_TRUE(js.contains("error"));
    EXPECT_EQ(HostOn(panel, {"read", "!C"}).exitCode, EXIT_FAILED);
}

TEST(Xolhost, MonitorPrintsEachChangeWithATime) {
    xolsim::Scenario scenario = TwoZones();
    scenario.events.push_back({1.0, {{13, {3}}, {40, {}}}, {}});
    xolsim::PtyPanel panel(std::move(scenario));
    Finished run = HostOn(panel, {"monitor", "--interval", "0.3", "--scans", "7", "--json"});
    EXPECT_EQ(run.exitCode, EXIT_DONE) << run.err;
    std::vector<json> lines = ParseJsonLines(run.out);
    std::vector<std::string> seen;
    for (const json& line : lines) {
        EXPECT_TRUE(line.contains("time"));
        std::string event = line.value("event", "");
        seen.push_back(event + " " + std::to_string(line.value("zone", 0)) + " " +
                       std::to_string(line.value("from", 0)) + "->" +
                       std::to_string(line.value("status", 0)));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"initial 12 0->9", "initial 40 0->16",
                                              "change 13 0->4", "change 40 16->0"}))
        << run.out;

    Finished text = HostOn(panel, {"monitor", "--scans", "1", "--counts"});
    EXPECT_EQ(text.exitCode, EXIT_DONE);
    EXPECT_TRUE(Contains(text.out, "P0013  0x04  ZS_CODE3")) << text.out;
    EXPECT_TRUE(Contains(text.out, "!C = 42"));
}

// The panel writes "-005": the driver hands 65531, the tool shows -5 with the
// driver's word beside it in JSON, in a read and in monitor's events.
TEST(Xolhost, CountsBelowZeroAreShownSigned) {
    xolsim::PtyPanel panel(xolsim::ParseScenario(
        R"({"counts": {"C": -5, "N": 9999}, "events": [{"at": 0.5, "counts": {"C": -7}}]})"));
    struct Case {
        const char* address;
        std::string text;
        int value, raw;
    };
    const Case cases[] = {{"!C", "!C = -5\n", -5, 65531}, {"!N", "!N = 9999\n", 9999, 9999}};
    for (const Case& c : cases) {
        EXPECT_EQ(HostOn(panel, {"read", c.address}).out, c.text);
        json read = ParseJson(HostOn(panel, {"read", c.address, "--json"}).out);
        EXPECT_EQ(read["value"], c.value) << c.address;
        EXPECT_EQ(read["raw"], c.raw) << c.address;
    }
    Finished text = HostOn(panel, {"monitor", "--scans", "2", "--interval", "1", "--counts"});
    EXPECT_TRUE(Contains(text.out, "!C  -5 -> -7")) << text.out;
    Finished events =
        HostOn(panel, {"monitor", "--scans", "1", "--counts", "--json", "--no-journal"});
    bool seen = false;
    for (const json& line : ParseJsonLines(events.out)) {
        if (line.value("address", "") == "!C") {
            seen = true;
            EXPECT_EQ(line["value"], -7) << line;
            EXPECT_EQ(line["raw"], 65529) << line;
        }
    }
    EXPECT_TRUE(seen) << events.out;
}

TEST(Xolhost, UsageErrorsAndTheirExitCodes) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    };
    const Case cases[] = {
        {{}, EXIT_USAGE, "subcommand"},
        {{"scan"}, EXIT_USAGE, "needs a panel"},
        {{"--timeout", "0", "--simulate", "scan"}, EXIT_USAGE, "wait for ever"},
        // Only a driver given the port itself (--direct) needs a name that fits.
        {{"--direct", "--port", "/dev/ttyWAYTOOLONGNAME", "scan"}, EXIT_USAGE, "does not fit"},
        {{"--port", "ttyS0", "--simulate", "scan"}, EXIT_USAGE, "exclude each other"},
        {{"--simulate", "write", "L0012", "70000"}, EXIT_USAGE, "value"},
        {{"--simulate", "read", "P0001", "--count", "1001"}, EXIT_USAGE, "--count"},
        {{"--simulate", "read", "P6300"}, EXIT_USAGE, "not a valid point address"},
        {{"--simulate", "/nonexistent.json", "scan"}, EXIT_USAGE, "cannot be read"},
        {{"--module", "/nonexistent/libxolest.so", "describe"}, EXIT_MODULE, "cannot load"},
        {{"--port", "ttyNOSUCH9", "scan"}, EXIT_FAILED, "cannot open the port ttyNOSUCH9"},
    };
    for (const auto& c : cases) {
        Finished run = RunXolhost(c.args);
        std::string joined;
        for (const auto& a : c.args) {
            joined += a + " ";
        }
        EXPECT_EQ(run.exitCode, c.exitCode) << joined << "\n" << run.err;
        EXPECT_TRUE(Contains(run.err, c.message)) << joined << "\n" << run.err;
    }
}

TEST(Xolhost, SimulateRunsTheDemoInProcess) {
    Finished scan = RunXolhost({"--simulate", "scan", "--json"});
    EXPECT_EQ(scan.exitCode, EXIT_DONE) << scan.err;
    json s = ParseJson(scan.out);
    ASSERT_EQ(s["zones"].size(), 5u);
    EXPECT_EQ(s["zones"][1]["address"], "P0017");
    EXPECT_EQ(s["zones"][1]["bits"], json({"ZS_CODE1", "ZS_CODE7"}));

    Finished count = RunXolhost({"--simulate", XOL_DEMO_SCENARIO, "read", "!N"});
    EXPECT_EQ(count.exitCode, EXIT_DONE);
    EXPECT_EQ(count.out, "!N = 5\n");
}

TEST(Xolhost, FirstInterruptLetsTheScanFinish) {
    xolsim::FaultOptions faults;
    faults.bitRate = 600; // about 0.6 s for this report: the interrupt lands well inside it
    xolsim::PtyPanel panel(TwoZones(), faults);
    Process host({XOLHOST_PATH, "--port", panel.devicePath(), "--timeout", "50", "scan"});
    WaitForFrame(panel.panel(), "@S\r");
    host.signal(SIGINT);
    Finished run = host.wait();
    EXPECT_EQ(run.exitCode, EXIT_INTERRUPTED);
    EXPECT_TRUE(Contains(run.err, "stopping once the running call has finished")) << run.err;
    EXPECT_EQ(panel.panel().stats().reportsEnded, 1u);
}

TEST(Xolhost, SecondInterruptQuitsAtOnce) {
    xolsim::FaultOptions faults;
    faults.bitRate = 110; // about 4.5 s for this report
    xolsim::PtyPanel panel(TwoZones(), faults);
    Process host({XOLHOST_PATH, "--port", panel.devicePath(), "--timeout", "50", "scan"});
    WaitForFrame(panel.panel(), "@S\r");
    auto start = Clock::now();
    host.signal(SIGINT);
    std::this_thread::sleep_for(100ms);
    host.signal(SIGINT);
    Finished run = host.wait();
    EXPECT_EQ(run.exitCode, EXIT_INTERRUPTED);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(panel.panel().stats().reportsEnded, 0u);
}

TEST(Xolpanel, ServesXolhostAndTracesEveryFrame) {
    Process panel({XOLPANEL_PATH, "--trace"});
    std::string path = panel.readLine(5s);
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path << panel.errSoFar();
    Finished scan = RunXolhostOn(path, {"--timeout", "20", "scan"});
    EXPECT_EQ(scan.exitCode, EXIT_DONE) << scan.err;
    EXPECT_TRUE(Contains(scan.out, "P0017  0x09  ZS_CODE1 ZS_CODE7")) << scan.out;
    Finished write = RunXolhostOn(path, {"--timeout", "20", "write", "X0042", "1"});
    EXPECT_EQ(write.exitCode, EXIT_REFUSED);
    panel.signal(SIGINT);
    Finished end = panel.wait();
    EXPECT_EQ(end.exitCode, 0);
    EXPECT_TRUE(Contains(end.err, "<- \"@S\\r\"")) << end.err;
    EXPECT_TRUE(Contains(end.err, "status record: zone 17, status code 7, checksum good"));
    EXPECT_TRUE(Contains(end.err, "end reply"));
    EXPECT_TRUE(Contains(end.err, "command X0042 value 1 (letter E), checksum good"));
    EXPECT_TRUE(Contains(end.err, "answer: refused"));
}

TEST(Xolpanel, FaultOptionsReachTheDriver) {
    // The demo's report has six records: the second scan meets a silent panel.
    Process panel({XOLPANEL_PATH, "--silent-after", "7"});
    std::string path = panel.readLine(5s);
    ASSERT_FALSE(path.empty()) << panel.errSoFar();
    Finished run = RunXolhostOn(
        path, {"--timeout", "20", "monitor", "--interval", "0.1", "--scans", "2", "--json"});
    EXPECT_EQ(run.exitCode, EXIT_FAILED) << run.err;
    std::vector<json> lines = ParseJsonLines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front()["event"], "initial");
    EXPECT_EQ(lines.back()["event"], "scan_failed");

    Process corrupt({XOLPANEL_PATH, "--corrupt-every", "1"});
    std::string corruptPath = corrupt.readLine(5s);
    Finished count = RunXolhostOn(corruptPath, {"--timeout", "20", "read", "!C"});
    // The driver refuses the count; the relay sees the failed checksum and
    // reports the line fault it is.
    EXPECT_EQ(count.exitCode, EXIT_FAILED);
    EXPECT_TRUE(Contains(count.err, "failed its checksum")) << count.err;
}

TEST(Xolpanel, ScenarioAndUsageErrors) {
    Finished dump = xoltest::Run({XOLPANEL_PATH, "--print-scenario"});
    EXPECT_EQ(dump.exitCode, 0);
    std::ifstream file(XOL_DEMO_SCENARIO);
    std::stringstream demo;
    demo << file.rdbuf();
    EXPECT_EQ(dump.out, demo.str());

    char bad[] = "/tmp/xolpanel-test-XXXXXX";
    int fd = ::mkstemp(bad);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "{\"zones\": 3}", 12), 12);
    ::close(fd);
    Finished scenario = xoltest::Run({XOLPANEL_PATH, bad});
    ::unlink(bad);
    EXPECT_EQ(scenario.exitCode, 64);
    EXPECT_TRUE(Contains(scenario.err, "zones: must be a list")) << scenario.err;

    EXPECT_EQ(xoltest::Run({XOLPANEL_PATH, "--corrupt-every", "0"}).exitCode, 64);
    Finished device = xoltest::Run({XOLPANEL_PATH, "--device", "/nonexistent/tty"});
    EXPECT_EQ(device.exitCode, 2);
}

// A reader that goes away (monitor | head) ends monitor promptly with exit
// status 74: not by the signal, and not after running on.
TEST(Xolhost, MonitorIntoAPipeWhoseReaderWentAwayEndsWith74) {
    const auto start = Clock::now();
    Finished run = xoltest::Run({"/bin/sh", "-c",
                                 "(" + std::string(XOLHOST_PATH) +
                                     " --simulate monitor --interval 0.2 --scans 100; echo "
                                     "\"exit $?\" >&2) | head -c 10 >/dev/null"},
                                60s);
    EXPECT_TRUE(Contains(run.err, "exit 74")) << run.err;
    EXPECT_TRUE(Contains(run.err, "the results could not be written: Broken pipe")) << run.err;
    // The demo's first change comes after 3.5 s; 100 scans take over 20 s.
    EXPECT_LT(Clock::now() - start, 15s) << run.err;
}

// Every file either program reads must be a regular file of a sane size
// and, for JSON, hold no key twice: refused at once, with its name and the
// exit code each program documents; never waited on nor read without end.
TEST(ToolInputs, FilesThatAreNoInputAreRefusedAtOnce) {
    const std::string dir = testing::TempDir() + "xol-inputs-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto file = [&dir](const std::string& name, const std::string& text, std::uintmax_t size = 0) {
        const std::string path = dir + "/" + name;
        std::ofstream(path) << text;
        if (size > 0) {
            std::filesystem::resize_file(path, size);
        }
        return path;
    };
    const std::string big = file("big.json", "{}", 5u << 20);
    const std::string token = file("token", "secret", 5u << 10);
    const std::string shared = file("shared-token", "secret\n");
    std::filesystem::permissions(shared, std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    const std::string site = file("site.json", R"({"zones": {"12": "east", "12": "west"}})");
    const std::string scenario =
        file("scenario.json", R"({"zones": [{"zone": 3, "codes": [2]}, {"zone": 4, "zone": 5}]})");
    const std::string recording = file("recording.jsonl", "{\"xolhost_recording\": 1}\n"
                                                          "{\"t\": 0, \"t\": 1, \"dir\": "
                                                          "\"to_panel\", \"hex\": \"40\"}\n");
    const std::string host = XOLHOST_PATH;
    const std::string panel = XOLPANEL_PATH;
    const std::vector<std::string> serve = {
        host, "--simulate", "serve", "--listen", "127.0.0.1:0", "--allow-commands", "--token-file"};
    auto with = [](std::vector<std::string> args, const std::string& last) {
        args.push_back(last);
        return args;
    };
    struct Case {
        std::vector<std::string> argv;
        int exitCode;
        std::string says;
    };
    const Case cases[] = {
        {{host, "--site", "/dev/zero", "check", "P0001"},
         EXIT_USAGE,
         "--site /dev/zero: not a regular file"},
        {{host, "--site", fifo, "check", "P0001"}, EXIT_USAGE, fifo + ": not a regular file"},
        {{host, "--site", dir, "check", "P0001"}, EXIT_USAGE, dir + ": not a regular file"},
        {{host, "--site", big, "check", "P0001"}, EXIT_USAGE, "larger than 4 MiB (5242880 bytes)"},
        {{host, "--site", site, "check", "P0001"},
         EXIT_USAGE,
         "site file " + site + ": zones: duplicate key \"12\""},
        {with(serve, fifo), EXIT_USAGE, "--token-file " + fifo + ": not a regular file"},
        {with(serve, token), EXIT_USAGE, "--token-file " + token + ": larger than 4 KiB"},
        {with(serve, shared), EXIT_USAGE, "--token-file " + shared + ": others may read it"},
        {{host, "--module", "/dev/zero", "describe"},
         EXIT_MODULE,
         "cannot load the module /dev/zero: not a regular file"},
        {{host, "--module", fifo, "describe"}, EXIT_MODULE, fifo + ": not a regular file"},
        {{host, "--simulate", fifo, "scan"}, EXIT_USAGE, fifo + ": not a regular file"},
        {{panel, "/dev/zero"}, 64, "scenario /dev/zero: not a regular file"},
        {{panel, fifo}, 64, "scenario " + fifo + ": not a regular file"},
        // The command line takes no folder for a scenario.
        {{panel, dir}, 64, "is actually a directory: " + dir},
        {{panel, big}, 64, "larger than 4 MiB"},
        {{panel, "--check", scenario}, 64, "zones[1]: duplicate key \"zone\""},
        {{panel, "--replay", fifo}, 64, "recording " + fifo + ": not a regular file"},
        {{panel, "--replay", recording}, 64, "line 2: duplicate key \"t\""},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& arg : c.argv) {
            shown += arg + " ";
        }
        const auto start = Clock::now();
        Finished run = xoltest::Run(c.argv, 10s);
        EXPECT_EQ(run.exitCode, c.exitCode) << shown << "\n" << run.err;
        EXPECT_TRUE(Contains(run.err, c.says)) << shown << "\n" << run.err;
        EXPECT_LT(Clock::now() - start, 5s) << shown;
    }
    std::filesystem::remove_all(dir);
}

} // namespace
