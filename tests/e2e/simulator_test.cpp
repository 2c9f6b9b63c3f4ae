// The simulator on its own: its frames checked byte for byte (lengths,
// checksums computed here by hand), its scenarios, and its answers and
// faults over a socket pair, with no driver involved.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <xolest/xolest.h>

#include "codec/control_values.h"
#include "codec/frame_build.h"
#include "codec/frame_decode.h"
#include "codec/text.h"
#include "panel.h"
#include "replay.h"
#include "scenario.h"
#include "support/two_zones.h"

namespace xolsim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using cis::ChecksummedFrame;
using cis::CommandReply;
using cis::CorruptChecksum;
using cis::COUNT_REPLY_SIZE;
using cis::CountReply;
using cis::EndReply;
using cis::FrameChecksum;
using cis::FrameChecksumGood;
using cis::FrameKind;
using cis::Printable;
using cis::SHORT_REPLY_SIZE;
using cis::STATUS_RECORD_SIZE;
using cis::StatusRecord;

// ---------------------------------------------------------------------------
// Frames

struct FrameCase {
    std::string built;
    std::string expected;
};

TEST(SimulatorFrames, BuildsFramesWithExactLengthsAndChecksums) {
    // Expected texts carry checksums worked out by hand: the body's bytes
    // summed modulo 256, two upper-case hex digits.
    const FrameCase cases[] = {
        {StatusRecord(12, 1), "@S00100001207\r"},
        {StatusRecord(6299, 8), "@S00800629925\r"},
        {CountReply('C', 42), "@PA004257\r"},
        {CountReply('N', -1), "@PD-00152\r"},
        {EndReply(), "@Z\r"},
        {CommandReply('U'), "@U\r"},
        {ChecksummedFrame("XEP0012"), "@XEP0012B0\r"},
        // Fields as written, for records and replies a panel would not send.
        {StatusRecord("0012", '1'), "@S00100001207\r"},
        {StatusRecord("  12", '\x03', '2', 'q'), "@S2q\x03"
                                                 "00  12FC\r"},
        {CountReply('N', " 7  "), "@PD 7  2B\r"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.built, c.expected);
    }
    EXPECT_EQ(StatusRecord(1, 3).size(), STATUS_RECORD_SIZE);
    EXPECT_EQ(StatusRecord("0012", '1').size(), STATUS_RECORD_SIZE);
    EXPECT_EQ(CountReply('C', 9999).size(), COUNT_REPLY_SIZE);
    EXPECT_EQ(CountReply('C', "0042").size(), COUNT_REPLY_SIZE);
    EXPECT_EQ(EndReply().size(), SHORT_REPLY_SIZE);
}

TEST(SimulatorFrames, StatusRecordsNeverLookLikeTheEndReply) {
    for (uint8_t code = 0; code < 16; ++code) {
        std::string record = StatusRecord(9999, code, '3');
        ASSERT_EQ(record.size(), STATUS_RECORD_SIZE);
        EXPECT_NE(record[1], 'Z');
        EXPECT_EQ(record[2], '3');
        EXPECT_EQ(record[4] & 0x0F, code);
        EXPECT_TRUE(FrameChecksumGood(record)) << Printable(record);
    }
}

TEST(SimulatorFrames, ChecksumRules) {
    EXPECT_EQ(FrameChecksum("@S\r"), 0);
    EXPECT_EQ(FrameChecksum("@PA\r"), 0);
    // The worked sum wraps: 432 modulo 256 is 176.
    EXPECT_EQ(FrameChecksum("@XEP0012B0\r"), 0xB0);
    EXPECT_TRUE(FrameChecksumGood("@XEP0012b0\r"));
    EXPECT_FALSE(FrameChecksumGood("@XEP0013B0\r"));
    EXPECT_FALSE(FrameChecksumGood("@XEP0012 0\r"));

    // A corrupted frame keeps its length and body; only its checksum digits
    // change, to other hex digits.
    for (const std::string& good : {StatusRecord(12, 1), CountReply('C', 42)}) {
        SCOPED_TRACE(Printable(good));
        const std::string corrupted = CorruptChecksum(good);
        const std::size_t digits = good.size() - 3;
        EXPECT_EQ(corrupted.size(), good.size());
        EXPECT_EQ(corrupted.substr(0, digits), good.substr(0, digits));
        EXPECT_NE(corrupted.substr(digits, 2), good.substr(digits, 2));
        EXPECT_FALSE(FrameChecksumGood(corrupted));
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(corrupted[digits])));
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(corrupted[digits + 1])));
        EXPECT_EQ(corrupted.back(), '\r');
    }
}

struct ParseCase {
    std::string frame;
    FrameKind kind;
    char which;
    int value;
    int number;
    std::string address;
    bool checksumGood;
};

TEST(SimulatorFrames, DecodesEveryRequestTheDriverSends) {
    const ParseCase cases[] = {
        {"@S\r", FrameKind::StartRequest, 0, -1, 0, "", true},
        {"@!\r", FrameKind::NextRequest, 0, -1, 0, "", true},
        {"@D\r", FrameKind::LetterCommand, 'D', -1, 0, "", true},
        {"@R\r", FrameKind::LetterCommand, 'R', -1, 0, "", true},
        {"@O\r", FrameKind::LetterCommand, 'S', -1, 0, "", true},
        {"@PA\r", FrameKind::CountQuery, 'C', -1, 0, "", true},
        {"@PD\r", FrameKind::CountQuery, 'N', -1, 0, "", true},
        {"@XEP0012B0\r", FrameKind::TemplateCommand, 'L', 2, 12, "L0012", true},
        {"@XDP0012AF\r", FrameKind::TemplateCommand, 'L', 3, 12, "L0012", true},
        {"@XRO0500012384\r", FrameKind::TemplateCommand, 'O', 0, 123, "O050123", true},
        {"@XAO0500012373\r", FrameKind::TemplateCommand, 'O', 1, 123, "O050123", true},
        {"@XEZ0000421D\r", FrameKind::TemplateCommand, 'X', 1, 42, "X0042", true},
        {"@XDZ0000421C\r", FrameKind::TemplateCommand, 'X', 0, 42, "X0042", true},
        {"@XEP0012B1\r", FrameKind::TemplateCommand, 'L', 2, 12, "L0012", false},
        // A letter the kind does not take stands for no value.
        {ChecksummedFrame("XRP0012"), FrameKind::TemplateCommand, 'L', -1, 12, "L0012", true},
        {ChecksummedFrame("XEO05000123"), FrameKind::TemplateCommand, 'O', -1, 123, "O050123",
         true},
        {"@Q\r", FrameKind::UnknownRequest, 0, -1, 0, "", true},
        {"@XEP00x2B0\r", FrameKind::UnknownRequest, 0, -1, 0, "", true},
        {"@PX\r", FrameKind::UnknownRequest, 0, -1, 0, "", true},
        {"S\r", FrameKind::UnknownRequest, 0, -1, 0, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Printable(c.frame));
        cis::Frame r = cis::DecodeRequest(c.frame);
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.which, c.which);
        if (c.kind == FrameKind::TemplateCommand) {
            EXPECT_EQ(r.value, c.value);
            EXPECT_EQ(r.number, c.number);
            EXPECT_EQ(r.address, c.address);
            EXPECT_EQ(r.checksumGood, c.checksumGood);
        }
    }
    EXPECT_EQ(cis::DecodeRequest("@XRO0500012384\r").group, 5);
}

struct ValueCase {
    uint32_t kind;
    std::string_view letters; // by value 0..3; '-' where the value is refused
    std::string text;
};

TEST(SimulatorFrames, ControlValuesAndTheirLettersAgree) {
    const ValueCase cases[] = {
        {PK_CONTROL_L, "--ED", "2 (E) or 3 (D)"},
        {PK_CONTROL_T, "--ED", "2 (E) or 3 (D)"},
        {PK_CONTROL_Q, "RAED", "0 (R), 1 (A), 2 (E) or 3 (D)"},
        {PK_CONTROL_A, "RAED", "0 (R), 1 (A), 2 (E) or 3 (D)"},
        {PK_GROUP_ZONE, "RA--", "0 (R) or 1 (A)"},
        {PK_CONTROL_X, "DE--", "0 (D) or 1 (E)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<char>(c.kind));
        EXPECT_EQ(cis::ValuesText(c.kind), c.text);
        EXPECT_FALSE(cis::KindTakesValue(c.kind, 4));
        for (uint16_t value = 0; value < 4; ++value) {
            const char letter = c.letters[value] == '-' ? 0 : c.letters[value];
            EXPECT_EQ(cis::LetterOfValue(c.kind, value), letter) << value;
            EXPECT_EQ(cis::KindTakesValue(c.kind, value), letter != 0) << value;
            if (letter != 0) {
                EXPECT_EQ(cis::ValueOfLetter(c.kind, letter), value);
            }
        }
        EXPECT_EQ(cis::ValueOfLetter(c.kind, 'Z'), -1);
    }
    // Bare letter commands and the scan take any value; reads take none.
    for (uint32_t kind : {PK_SYSTEM_D, PK_SYSTEM_R, PK_SYSTEM_S, PK_SCAN}) {
        EXPECT_EQ(cis::ValuesText(kind), "any value");
        EXPECT_TRUE(cis::KindTakesValue(kind, 65535));
        EXPECT_EQ(cis::LetterOfValue(kind, 0), 0);
    }
    for (uint32_t kind : {PK_ZONE, PK_COUNT_C, PK_COUNT_N}) {
        EXPECT_EQ(cis::ValuesText(kind), "");
        EXPECT_FALSE(cis::KindTakesValue(kind, 0));
    }
}

TEST(SimulatorFrames, RepliesAreJudgedAsTheDriverReadsThem) {
    // Sum 0x05: the driver takes "5" before a non-hex byte as a one-digit
    // field; two digits are needed for the panel's own check.
    const std::string oneDigit = std::string("@\x05") + "5 \r";
    EXPECT_TRUE(cis::DriverChecksumGood(oneDigit));
    EXPECT_FALSE(FrameChecksumGood(oneDigit));

    const cis::Frame record = cis::DecodeReply(StatusRecord(ZONE_COUNT + 1, 7));
    EXPECT_EQ(record.kind, FrameKind::StatusRecord);
    EXPECT_EQ(record.zone, ZONE_COUNT + 1);
    EXPECT_EQ(record.statusCode, 7);
    EXPECT_TRUE(record.checksumGood);
    EXPECT_EQ(cis::DriverUseOfRecord(StatusRecord(ZONE_COUNT + 1, 7)), cis::RecordUse::IllegalZone);
    EXPECT_EQ(cis::DriverUseOfRecord(StatusRecord(ZONE_COUNT, 7)), cis::RecordUse::Applied);
    EXPECT_EQ(cis::DriverUseOfRecord(StatusRecord(12, 7, '1')), cis::RecordUse::Filtered);
    EXPECT_EQ(cis::DriverUseOfRecord(StatusRecord(12, 4)), cis::RecordUse::Filtered);
    EXPECT_EQ(cis::DriverUseOfRecord(CorruptChecksum(StatusRecord(12, 7))),
              cis::RecordUse::BadChecksum);
    EXPECT_EQ(cis::StatusBitOfCode(7), ZS_CODE7);
    EXPECT_EQ(cis::DecodeReply(CountReply('N', " -7 ")).value, -7);
    EXPECT_EQ(cis::DecodeReply(CountReply('C', "  x ")).value, -1);
}

// ---------------------------------------------------------------------------
// Scenarios

TEST(SimulatorScenario, BuiltInDemoIsTheShippedFile) {
    Scenario demo = DefaultScenario();
    EXPECT_EQ(demo.name, "demo");
    EXPECT_EQ(demo.zones.at(17), (std::vector<uint8_t>{1, 7}));
    ASSERT_FALSE(demo.events.empty());
    EXPECT_TRUE(std::is_sorted(demo.events.begin(), demo.events.end(),
                               [](const Event& a, const Event& b) { return a.at < b.at; }));
    Scenario file = LoadScenario(XOL_DEMO_SCENARIO);
    EXPECT_EQ(file.zones, demo.zones);
    EXPECT_EQ(file.counts, demo.counts);
}

TEST(SimulatorScenario, EventsChangeTheStateAtTheirTime) {
    Scenario s = ParseScenario(R"({
        "zones": [{"zone": 12, "codes": [2]}, {"zone": 40, "codes": [8]}],
        "counts": {"C": 3},
        "events": [
            {"at": 5, "zone": 12, "codes": [1, 7]},
            {"at": 2, "counts": {"N": 9}},
            {"at": 8, "zone": 40, "codes": []}
        ]})");
    PanelState start = StateAt(s, 0);
    EXPECT_EQ(start.zones.at(12), (std::vector<uint8_t>{2}));
    EXPECT_EQ(start.counts.at('C'), 3);
    EXPECT_EQ(start.counts.at('N'), 0);
    PanelState later = StateAt(s, 5.5);
    EXPECT_EQ(later.zones.at(12), (std::vector<uint8_t>{1, 7}));
    EXPECT_EQ(later.counts.at('N'), 9);
    EXPECT_EQ(later.zones.at(40), (std::vector<uint8_t>{8}));
    EXPECT_TRUE(StateAt(s, 9).zones.at(40).empty());
}

TEST(SimulatorScenario, ControlAndSystemAnswers) {
    Scenario s = ParseScenario(R"({
        "controls": {"default": "refuse", "points": {
            "l0012": {"refuse": [3]}, "O031250": {"accept": [1]}, "X0042": "accept"}},
        "system": {"S": "refused"}})");
    auto answer = [&](const char* frame) { return ControlAnswer(s, cis::DecodeRequest(frame)); };
    EXPECT_EQ(answer("@XEP0012B0\r"), Answer::Done);    // L0012 value 2
    EXPECT_EQ(answer("@XDP0012AF\r"), Answer::Refused); // L0012 value 3
    EXPECT_EQ(answer("@XEP0013B1\r"), Answer::Refused); // default
    EXPECT_EQ(answer("@XDZ0000421C\r"), Answer::Done);  // X0042
    EXPECT_EQ(ControlAnswer(s, cis::DecodeRequest(ChecksummedFrame("XAO03001250"))), Answer::Done);
    EXPECT_EQ(ControlAnswer(s, cis::DecodeRequest(ChecksummedFrame("XRO03001250"))),
              Answer::Refused);
    EXPECT_EQ(SystemAnswer(s, 'S'), Answer::Refused);
    EXPECT_EQ(SystemAnswer(s, 'D'), Answer::Done);
}

TEST(SimulatorScenario, RefusesMistakesWithThePlaceNamed) {
    const std::pair<const char*, const char*> cases[] = {
        {"{", "not valid JSON"},
        {R"({"zone": []})", "unknown key \"zone\""},
        {R"({"zones": [{"zone": 3, "codes": [16]}]})", "zones[0].codes[0]"},
        {R"({"zones": [{"zone": 10000}]})", "zones[0].zone"},
        {R"({"zones": [{"codes": [1]}]})", "needs \"zone\""},
        {R"({"counts": {"C": "many"}})", "counts.C"},
        {R"({"controls": {"points": {"P0012": "refuse"}}})", "not a control point address"},
        {R"({"controls": {"points": {"L0012": {"accept": [1], "refuse": [2]}}}})", "exactly one"},
        {R"({"system": {"S": "maybe"}})", "system.S"},
        {R"({"events": [{"zone": 3}]})", "events[0].at"},
        {R"({"events": [{"at": 1, "codes": [1]}]})", "needs a \"zone\""},
    };
    for (const auto& [text, message] : cases) {
        try {
            ParseScenario(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos)
                << text << " gave: " << e.what();
        }
    }
    EXPECT_THROW(LoadScenario("/nonexistent/scenario.json"), ScenarioError);
}

TEST(SimulatorReplay, GroupsRecordedReadsIntoRequestsAndTheirAnswers) {
    // A request split over two reads, two in one read, an answer in two
    // pieces, panel bytes before any request, and a key this reader ignores.
    const std::string path = ::testing::TempDir() + "xol_recording.jsonl";
    {
        std::FILE* file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("{\"xolhost_recording\":1}\n"
                   "{\"t\":0.001,\"dir\":\"from_panel\",\"hex\":\"58\"}\n"
                   "{\"t\":0.010,\"dir\":\"to_panel\",\"hex\":\"4053\"}\n"
                   "{\"t\":0.020,\"dir\":\"to_panel\",\"hex\":\"0D\",\"note\":1}\n"
                   "{\"t\":0.050,\"dir\":\"from_panel\",\"hex\":\"40\"}\n"
                   "{\"t\":0.070,\"dir\":\"from_panel\",\"hex\":\"5A0D\"}\n"
                   "{\"t\":0.100,\"dir\":\"to_panel\",\"hex\":\"4050410D\"}\n"
                   "{\"t\":0.110,\"dir\":\"from_panel\",\"hex\":\"40504130303432353"
                   "70D\"}\n"
                   "{\"t\":0.120,\"dir\":\"to_panel\",\"hex\":\"4050440D\"}\n",
                   file);
        std::fclose(file);
    }
    std::vector<RecordedExchange> got = LoadRecording(path);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].request, "@S\r");
    ASSERT_EQ(got[0].answer.size(), 2u);
    EXPECT_EQ(got[0].answer[0].bytes + got[0].answer[1].bytes, "@Z\r");
    EXPECT_NEAR(got[0].answer[0].after, 0.030, 1e-9); // after the read that ended the request
    EXPECT_NEAR(got[0].answer[1].after, 0.050, 1e-9);
    EXPECT_EQ(got[1].request, "@PA\r");
    ASSERT_EQ(got[1].answer.size(), 1u);
    EXPECT_EQ(got[1].answer[0].bytes, CountReply('C', 42));
    EXPECT_EQ(got[2].request, "@PD\r");
    EXPECT_TRUE(got[2].answer.empty());
    // As a scenario: an empty completed report, the count that was answered.
    Scenario made = ParseScenario(RecordingToScenario(got, path));
    EXPECT_TRUE(made.zones.empty());
    EXPECT_EQ(made.counts['C'], 42);
    EXPECT_EQ(made.counts['N'], 0);
    std::remove(path.c_str());
    EXPECT_THROW(LoadRecording(XOL_DEMO_SCENARIO), ScenarioError); // no header
}

// ---------------------------------------------------------------------------
// The panel on a socket pair

class SocketPanel {
public:
    explicit SocketPanel(Scenario scenario, FaultOptions faults = {})
        : panel_(std::move(scenario), faults) {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        panel_.setTrace([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            trace_.push_back(line);
        });
        thread_ = std::jthread([this](std::stop_token stop) { panel_.serve(fds_[0], stop); });
    }
    ~SocketPanel() {
        thread_.request_stop();
        thread_.join();
        ::close(fds_[0]);
        ::close(fds_[1]);
    }

    void send(std::string_view bytes) { ASSERT_TRUE(WriteAll(fds_[1], bytes)); }
    // Everything that arrives until `quiet` passes without a byte; the
    // first byte may take up to `first`.
    std::string receive(std::chrono::milliseconds quiet = 80ms,
                        std::chrono::milliseconds first = 2s) {
        std::string got;
        char buffer[256];
        pollfd watch{fds_[1], POLLIN, 0};
        while (::poll(&watch, 1, static_cast<int>((got.empty() ? first : quiet).count())) > 0) {
            ssize_t n = ::read(fds_[1], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    std::string ask(std::string_view request, std::chrono::milliseconds quiet = 80ms) {
        send(request);
        return receive(quiet);
    }
    // For requests the panel should leave unanswered: whatever comes in 200 ms.
    std::string unanswered(std::string_view request) {
        send(request);
        return receive(200ms, 200ms);
    }
    Panel& panel() { return panel_; }
    std::vector<std::string> trace() {
        std::lock_guard lock(mutex_);
        return trace_;
    }

private:
    Panel panel_;
    int fds_[2] = {-1, -1};
    std::mutex mutex_;
    std::vector<std::string> trace_;
    std::jthread thread_;
};

using xoltest::TwoZones;

TEST(SimulatorPanel, ReportsOneRecordPerStatusCodeInZoneOrder) {
    SocketPanel line(TwoZones());
    EXPECT_EQ(line.ask("@S\r"), StatusRecord(12, 1));
    EXPECT_EQ(line.ask("@!\r"), StatusRecord(12, 7));
    EXPECT_EQ(line.ask("@!\r"), StatusRecord(40, 8));
    EXPECT_EQ(line.ask("@!\r"), EndReply());
    // A new start request starts the report again.
    EXPECT_EQ(line.ask("@S\r"), StatusRecord(12, 1));
    EXPECT_EQ(line.panel().stats().recordsSent, 4u);
    EXPECT_EQ(line.panel().stats().reportsEnded, 1u);
}

TEST(SimulatorPanel, AnswersCountsAndCommands) {
    SocketPanel line(TwoZones());
    EXPECT_EQ(line.ask("@PA\r"), CountReply('C', 42));
    EXPECT_EQ(line.ask("@PD\r"), CountReply('N', 7));
    EXPECT_EQ(line.ask("@XEP0012B0\r"), "@!\r");
    EXPECT_EQ(line.ask("@XDP0012AF\r"), "@U\r");
    EXPECT_EQ(line.ask("@R\r"), "@?\r");
    EXPECT_EQ(line.ask("@O\r"), "@!\r");
    // A command with a wrong checksum, an unknown request: no answer.
    EXPECT_EQ(line.unanswered("@XEP0012B1\r"), "");
    EXPECT_EQ(line.unanswered("@Q\r"), "");
    // Stray bytes before a request are skipped.
    EXPECT_EQ(line.ask("\x01\xFFjunk@PA\r"), CountReply('C', 42));
    PanelStats stats = line.panel().stats();
    EXPECT_EQ(stats.unanswered, 2u);
    EXPECT_EQ(stats.skippedBytes, 6u);
    EXPECT_EQ(line.panel().receivedFrames().size(), 9u);
}

TEST(SimulatorPanel, TracesEveryFrameDecoded) {
    FaultOptions faults;
    faults.corruptEvery = 2;
    SocketPanel line(TwoZones(), faults);
    line.ask("@S\r");
    line.ask("@!\r");
    line.ask("@XEP0012B0\r");
    auto trace = line.trace();
    ASSERT_EQ(trace.size(), 6u);
    EXPECT_NE(trace[0].find("<- \"@S\\r\""), std::string::npos) << trace[0];
    EXPECT_NE(trace[0].find("start request"), std::string::npos);
    EXPECT_NE(trace[1].find("status record: zone 12, status code 1, checksum good"),
              std::string::npos)
        << trace[1];
    EXPECT_NE(trace[3].find("zone 12, status code 7 (corrupted), checksum bad"), std::string::npos)
        << trace[3];
    EXPECT_NE(trace[4].find("command L0012 value 2 (letter E), checksum good"), std::string::npos)
        << trace[4];
    EXPECT_NE(trace[5].find("answer: done"), std::string::npos);
}

TEST(SimulatorFaults, SilentAfterRecordsForGoodOrForSomeRequests) {
    FaultOptions forGood;
    forGood.silentAfterRecords = 2;
    SocketPanel silent(TwoZones(), forGood);
    EXPECT_EQ(silent.ask("@S\r"), StatusRecord(12, 1));
    EXPECT_EQ(silent.ask("@!\r"), StatusRecord(12, 7));
    EXPECT_EQ(silent.unanswered("@!\r"), "");
    EXPECT_EQ(silent.unanswered("@S\r"), "");
    EXPECT_EQ(silent.unanswered("@PA\r"), "");

    FaultOptions briefly;
    briefly.silentAfterRecords = 1;
    briefly.silentRequests = 1;
    SocketPanel once(TwoZones(), briefly);
    EXPECT_EQ(once.ask("@S\r"), StatusRecord(12, 1));
    EXPECT_EQ(once.unanswered("@!\r"), "");
    EXPECT_EQ(once.ask("@S\r"), StatusRecord(12, 1));
    EXPECT_EQ(once.ask("@!\r"), StatusRecord(12, 7));
}

TEST(SimulatorFaults, SilentForTheFirstRequestsThenOnRequest) {
    FaultOptions faults;
    faults.silentRequests = 2;
    SocketPanel line(TwoZones(), faults);
    EXPECT_EQ(line.unanswered("@PA\r"), "");
    EXPECT_EQ(line.unanswered("@PA\r"), "");
    EXPECT_EQ(line.ask("@PA\r"), CountReply('C', 42));
    line.panel().silenceNext(1);
    EXPECT_EQ(line.unanswered("@PD\r"), "");
    EXPECT_EQ(line.ask("@PD\r"), CountReply('N', 7));
}

TEST(SimulatorFaults, CorruptsEveryNthChecksummedFrameOnly) {
    FaultOptions faults;
    faults.corruptEvery = 2;
    SocketPanel line(TwoZones(), faults);
    std::string first = line.ask("@S\r");
    std::string second = line.ask("@!\r");
    std::string letter = line.ask("@D\r"); // short frames are not counted
    std::string third = line.ask("@!\r");
    std::string fourth = line.ask("@PA\r");
    EXPECT_TRUE(FrameChecksumGood(first));
    EXPECT_FALSE(FrameChecksumGood(second));
    EXPECT_EQ(second.size(), STATUS_RECORD_SIZE);
    EXPECT_EQ(letter, "@!\r");
    EXPECT_TRUE(FrameChecksumGood(third));
    EXPECT_FALSE(FrameChecksumGood(fourth));
    EXPECT_EQ(line.panel().stats().corrupted, 2u);
}

TEST(SimulatorFaults, SplitsRepliesIntoPiecesWithGaps) {
    FaultOptions faults;
    faults.splitBytes = 5;
    faults.splitGap = 60ms;
    SocketPanel line(TwoZones(), faults);
    auto start = Clock::now();
    line.send("@S\r");
    std::string got = line.receive(300ms);
    // Three pieces of a 14-byte record: two gaps.
    EXPECT_GE(Clock::now() - start, 110ms);
    EXPECT_EQ(got, StatusRecord(12, 1));
}

TEST(SimulatorFaults, NoiseBeforeEveryNthReply) {
    FaultOptions faults;
    faults.noiseBytes = 3;
    faults.noiseEvery = 2;
    SocketPanel line(TwoZones(), faults);
    EXPECT_EQ(line.ask("@PA\r"), CountReply('C', 42));
    std::string noisy = line.ask("@PA\r");
    ASSERT_EQ(noisy.size(), COUNT_REPLY_SIZE + 3);
    EXPECT_EQ(noisy.substr(3), CountReply('C', 42));
    EXPECT_EQ(line.panel().stats().noiseBytes, 3u);
}

TEST(SimulatorFaults, DelaysReplies) {
    FaultOptions faults;
    faults.delay = 150ms;
    SocketPanel line(TwoZones(), faults);
    auto start = Clock::now();
    EXPECT_EQ(line.ask("@PD\r", 400ms), CountReply('N', 7));
    EXPECT_GE(Clock::now() - start, 140ms);
}

TEST(SimulatorFaults, LateRepliesOverlapEachDueAfterItsOwnRequest) {
    // The second request arrives while the first reply waits; it is read at
    // once, so its reply is due 1 s after it, not 1 s after the first reply.
    FaultOptions faults;
    faults.delay = 1000ms;
    SocketPanel line(TwoZones(), faults);
    auto start = Clock::now();
    line.send("@PA\r");
    std::this_thread::sleep_for(500ms);
    line.send("@PD\r");
    std::string got = line.receive(100ms, 3s);
    if (got.size() < 2 * COUNT_REPLY_SIZE) {
        got += line.receive(100ms, 3s);
    }
    auto took = Clock::now() - start - 100ms; // the quiet wait at the end
    EXPECT_EQ(got, CountReply('C', 42) + CountReply('N', 7));
    EXPECT_GE(took, 1400ms);
    EXPECT_LT(took, 1900ms); // one after the other would take 2 s
}

TEST(SimulatorFaults, UnknownByteForTheFirstTemplateCommands) {
    FaultOptions faults;
    faults.unknownAnswers = 2;
    SocketPanel line(TwoZones(), faults);
    EXPECT_EQ(line.ask("@R\r"), "@?\r"); // letter commands keep their answers
    EXPECT_EQ(line.ask("@XEP0012B0\r"), "@?\r");
    EXPECT_EQ(line.ask("@XEP0012B0\r"), "@?\r");
    EXPECT_EQ(line.ask("@XEP0012B0\r"), "@!\r");
}

TEST(SimulatorFaults, PacesOutputAtElevenBitsPerByte) {
    FaultOptions faults;
    faults.bitRate = 2400;
    SocketPanel line(TwoZones(), faults);
    auto start = Clock::now();
    line.send("@S\r");
    std::string got = line.receive(300ms);
    auto took = Clock::now() - start - 300ms; // the quiet wait at the end
    EXPECT_EQ(got, StatusRecord(12, 1));
    // 14 bytes of 11 bits at 2400 bit/s take 64 ms.
    EXPECT_GE(took, 60ms);
    EXPECT_LT(took, 2s);
}

} // namespace
} // namespace xolsim
