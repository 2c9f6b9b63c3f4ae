// xolpanel on its own input: recordings played back to xolhost, and scenario
// files and signals that must end in a message and an exit code, never a
// crash or a hang.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "e2e/process.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using xoltest::Finished;
using xoltest::Process;

std::string Temp(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("xol_replay_" + std::to_string(::getpid()) + "_" + name))
        .string();
}

std::string Write(const std::string& name, const std::string& text) {
    const std::string path = Temp(name);
    std::ofstream(path) << text;
    return path;
}

Finished Scan(const std::string& device, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{XOLHOST_PATH, "--port", device};
    args.insert(args.end(), more.begin(), more.end());
    args.insert(args.end(), {"--json", "scan"});
    return xoltest::Run(args);
}

// A scan's zones without the time each was confirmed, which differs by run.
json Zones(const json& scan) {
    json zones = scan["zones"];
    for (json& zone : zones) {
        zone.erase("confirmed_at");
    }
    return zones;
}

TEST(Replay, ARecordingPlaysBackTheSameScanAndStopsAtADifferentRequest) {
    const std::string recording = Temp("scan.jsonl");
    Finished original;
    {
        Process panel({XOLPANEL_PATH, "--corrupt-every", "3"});
        const std::string device = panel.readLine(5s);
        ASSERT_FALSE(device.empty()) << panel.errSoFar();
        original = Scan(device, {"--record", recording});
        ASSERT_EQ(original.exitCode, 0) << original.err;
    }
    Process replay({XOLPANEL_PATH, "--replay", recording});
    const std::string device = replay.readLine(5s);
    ASSERT_FALSE(device.empty()) << replay.errSoFar();
    Finished again = Scan(device);
    ASSERT_EQ(again.exitCode, 0) << again.err;
    const json a = json::parse(original.out);
    const json b = json::parse(again.out);
    EXPECT_EQ(Zones(b), Zones(a));
    EXPECT_EQ(b["quality"], a["quality"]);
    EXPECT_GT(a["quality"]["bad_checksums"].get<int>(), 0); // the faults were recorded

    // A count query where the recording has nothing more: playback ends.
    (void)xoltest::Run({XOLHOST_PATH, "--port", device, "read", "!C"});
    Finished stopped = replay.wait(10s);
    EXPECT_EQ(stopped.exitCode, 3);
    EXPECT_NE(stopped.err.find("playback stopped"), std::string::npos) << stopped.err;
    EXPECT_NE(stopped.err.find("got \"@PA\\r\""), std::string::npos) << stopped.err;

    // The recording as a scenario: a clean panel with the same zones.
    Finished converted = xoltest::Run({XOLPANEL_PATH, "--recording-to-scenario", recording});
    ASSERT_EQ(converted.exitCode, 0) << converted.err;
    const std::string scenario = Write("from_recording.json", converted.out);
    Process made({XOLPANEL_PATH, scenario});
    const std::string madeDevice = made.readLine(5s);
    ASSERT_FALSE(madeDevice.empty()) << made.errSoFar();
    Finished clean = Scan(madeDevice);
    ASSERT_EQ(clean.exitCode, 0) << clean.err;
    EXPECT_EQ(Zones(json::parse(clean.out)), Zones(a)) << converted.out;
    std::filesystem::remove(recording);
    std::filesystem::remove(scenario);
}

TEST(Replay, ARequestOtherThanRecordedNamesBoth) {
    const std::string recording =
        Write("count.jsonl", "{\"xolhost_recording\":1,\"baud\":2400}\n"
                             "{\"t\":0.001,\"dir\":\"to_panel\",\"hex\":\"40530D\",\"extra\":1}\n"
                             "{\"t\":0.002,\"dir\":\"from_panel\",\"hex\":\"405A0D\"}\n");
    Process replay({XOLPANEL_PATH, "--replay", recording});
    const std::string device = replay.readLine(5s);
    ASSERT_FALSE(device.empty()) << replay.errSoFar();
    (void)xoltest::Run({XOLHOST_PATH, "--port", device, "read", "!C"});
    Finished stopped = replay.wait(10s);
    EXPECT_EQ(stopped.exitCode, 3);
    EXPECT_NE(stopped.err.find("expected \"@S\\r\", got \"@PA\\r\""), std::string::npos)
        << stopped.err;
    std::filesystem::remove(recording);
}

TEST(PanelInput, BadScenariosEndWithTheirPlaceAndExitCode64) {
    struct Case {
        std::string text;
        std::string says;
    };
    const std::vector<Case> cases{
        {R"({"events":[{"at":1e400}]})", "line 1, column 18: a number too large"},
        {"{\n  \"zones\": [\n    {\"zone\": 3,, }\n]}", "line 3, column 16"},
        {R"({"zonse": []})", R"(did you mean "zones"?)"},
        {R"({"zones": [{"zone": 3}, {"zone": 3, "codes": [1]}]})",
         "zone 3 is already listed at zones[0]"},
        {R"({"events": [{"at": 2}]})", "events[0]: changes nothing"},
        {R"({"controls": {"points": {"L0012": {"refuse": [1]}}}})", "never writes 1"},
        {R"({"controls": {"points": {"O031250": {"accept": [2]}}}})", "never writes 2"},
        {R"({"controls": {"points": {"L0012": "accept", "l0012": "refuse"}}})", "listed twice"},
        {R"({"controls": {"default": "done"}})", R"(must be "accept" or "refuse")"},
    };
    for (const Case& c : cases) {
        const std::string path = Write("bad.json", c.text);
        Finished check = xoltest::Run({XOLPANEL_PATH, "--check", path}, 10s);
        EXPECT_EQ(check.exitCode, 64) << c.text;
        EXPECT_NE(check.err.find(c.says), std::string::npos) << c.text << "\n" << check.err;
        // Serving refuses the same file the same way.
        Finished serve = xoltest::Run({XOLPANEL_PATH, path}, 10s);
        EXPECT_EQ(serve.exitCode, 64) << c.text;
        std::filesystem::remove(path);
    }
    Finished demo = xoltest::Run({XOLPANEL_PATH, "--check", XOL_DEMO_SCENARIO}, 10s);
    EXPECT_EQ(demo.exitCode, 0) << demo.err;
}

TEST(PanelInput, SignalsEndThePanelWhileNoOneReadsItsLine) {
    // The far end holds the line open but never reads: the panel's writes
    // fill it, and a stop must still end the panel promptly.
    for (int number : {SIGINT, SIGTERM}) {
        Process panel({XOLPANEL_PATH, "--noise", "4000"});
        const std::string device = panel.readLine(5s);
        ASSERT_FALSE(device.empty()) << panel.errSoFar();
        const int far = ::open(device.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(far, 0);
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ(::write(far, "@S\r", 3), 3);
        }
        std::this_thread::sleep_for(500ms);
        const auto start = std::chrono::steady_clock::now();
        panel.signal(number);
        Finished ended = panel.wait(10s);
        EXPECT_EQ(ended.exitCode, 0) << number;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << number;
        ::close(far);
    }
}

TEST(PanelInput, VersionIsPrinted) {
    Finished version = xoltest::Run({XOLPANEL_PATH, "--version"}, 10s);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("xolpanel ", 0), 0u) << version.out;
}

} // namespace
