// What xolhost's line decoder makes of the bytes the relay passes: which
// records the driver read and skipped, and the cause it gives a failed call.
// Each case is a scripted exchange with the times the bytes passed; the
// frames' checksums are worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "line/diagnosis.h"
#include "line/line_decoder.h"

namespace {

using namespace std::chrono_literals;
using xolhost::Direction;

const std::string START = "@S\r";
const std::string NEXT = "@!\r";
const std::string END = "@Z\r";
const std::string ZONE3 = "@S00200000308\r";      // zone 3, code 2
const std::string ZONE17 = "@S0010000170C\r";     // zone 17, code 1
const std::string ZONE17_BAD = "@S0010000171D\r"; // the same, checksum off by 0x11
const std::string SELECTOR1 = "@S10200000309\r";  // zone 3, selector 1: ignored
const std::string CODE4 = "@S0040000030A\r";      // zone 3, code 4: ignored
const std::string ZONE0 = "@S00200000005\r";      // zone 0: illegal
const std::string COUNT = "@PA\r";
const std::string COUNT2 = "@PA000253\r";     // !C = 2
const std::string COUNT2_BAD = "@PA000264\r"; // checksum off by 0x11
const std::string COMMAND = "@XEP0012B0\r";   // L0012, value 2

struct Step {
    Direction direction;
    std::string bytes;
    int ms; // after the start of the call
};

Step Out(std::string bytes, int ms = 0) {
    return {Direction::ToPanel, std::move(bytes), ms};
}
Step In(std::string bytes, int ms = 1) {
    return {Direction::FromPanel, std::move(bytes), ms};
}

struct Played {
    xolhost::CallTraffic traffic;
    std::string trace;
};

// `returnedMs`: when the driver's call returned; later steps are what the
// tool heard while it listened on.
Played Play(const std::vector<Step>& steps, int32_t result, int returnedMs = 1 << 30) {
    Played run;
    xolhost::DecoderSettings settings;
    settings.timeoutMs = 40;
    settings.trace = [&run](const std::string& line) { run.trace += line + "\n"; };
    xolhost::LineDecoder decoder(settings);
    auto start = xolhost::SteadyClock::now();
    decoder.beginCall();
    bool returned = false;
    for (const Step& step : steps) {
        if (!returned && step.ms > returnedMs) {
            decoder.callReturned();
            returned = true;
        }
        decoder.feed(step.direction, step.bytes, start + std::chrono::milliseconds(step.ms));
    }
    if (!returned) {
        decoder.callReturned();
    }
    run.traffic = decoder.endCall(result);
    return run;
}

std::string Cause(const xolhost::CallTraffic& traffic) {
    return xolhost::CauseName(xolhost::DiagnoseLine(traffic, 4).cause);
}

TEST(LineDecoder, FiguresOfAScanAsTheDriverReadIt) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        uint64_t records, bad, filtered, illegal, stray, discarded, outOfStep;
        std::string traced;
    };
    const Case cases[] = {
        {"clean",
         {Out(START), In(ZONE3), Out(NEXT), In(ZONE17), Out(NEXT), In(END)},
         2,
         0,
         0,
         0,
         0,
         0,
         0,
         "status record: zone 17, status code 1, checksum good"},
        {"a corrupted record is skipped",
         {Out(START), In(ZONE3), Out(NEXT), In(ZONE17_BAD), Out(NEXT), In(END)},
         2,
         1,
         0,
         0,
         0,
         0,
         0,
         "the driver skipped this record: checksum bad"},
        // Two stray bytes put the driver's 14-byte read out of step: it reads
        // them and 12 bytes of the record, and the rest goes with the next
        // request. It is lost to the step, not to its checksum.
        {"noise before a record",
         {Out(START), In("\x05\x06" + ZONE3), Out(NEXT), In(END)},
         1,
         0,
         0,
         0,
         2,
         2,
         1,
         "the driver read \"\\x05\\x06@S0020000030\" as a status record: out of step"},
        {"records the driver ignores",
         {Out(START), In(SELECTOR1), Out(NEXT), In(CODE4), Out(NEXT), In(ZONE0), Out(NEXT),
          In(END)},
         3,
         0,
         2,
         1,
         0,
         0,
         0,
         "zone 0 (illegal"},
    };
    for (const Case& c : cases) {
        Played run = Play(c.steps, RC_DONE);
        const xolhost::LineFigures& f = run.traffic.figures;
        EXPECT_EQ(f.records, c.records) << c.name;
        EXPECT_EQ(f.badChecksums, c.bad) << c.name;
        EXPECT_EQ(f.filtered, c.filtered) << c.name;
        EXPECT_EQ(f.illegalZones, c.illegal) << c.name;
        EXPECT_EQ(f.strayBytes, c.stray) << c.name;
        EXPECT_EQ(f.discardedBytes, c.discarded) << c.name;
        EXPECT_EQ(f.outOfStep, c.outOfStep) << c.name;
        EXPECT_EQ(f.clean(), c.bad + c.outOfStep == 0) << c.name;
        EXPECT_EQ(f.restarts, 0u) << c.name;
        EXPECT_NE(run.trace.find(c.traced), std::string::npos) << c.name << "\n" << run.trace;
    }
}

TEST(LineDecoder, EachFailureGetsItsCause) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        int32_t result;
        std::string cause;
    };
    const Case cases[] = {
        {"silence", {Out(START), Out(START, 50), Out(START, 100)}, RC_FAILED, "no_answer"},
        // The panel answers every request 60 ms late; each answer arrives
        // after the driver has asked again.
        {"late answers",
         {Out(START), Out(START, 45), In(ZONE3, 60), Out(START, 90), In(ZONE3, 105)},
         RC_FAILED,
         "late"},
        {"noise only",
         {Out(COUNT), In("\x7f\x13\x80", 5), Out(COUNT, 45), Out(COUNT, 90)},
         RC_FAILED,
         "garbage"},
        {"count replies failing their checksum",
         {Out(COUNT), In(COUNT2_BAD), Out(COUNT, 5), In(COUNT2_BAD, 6), Out(COUNT, 10),
          In(COUNT2_BAD, 11)},
         RC_REFUSED,
         "checksum"},
        {"a count read out of step",
         {Out(COUNT), In("\x01" + COUNT2), Out(COUNT, 50), In("\x01" + COUNT2, 51), Out(COUNT, 100),
          In("\x01" + COUNT2, 101)},
         RC_REFUSED,
         "garbage"},
        {"a command not understood",
         {Out(COMMAND), In("@?\r"), Out(COMMAND, 5), In("@?\r", 6), Out(COMMAND, 10),
          In("@?\r", 11)},
         RC_FAILED,
         "unknown_answer"},
    };
    for (const Case& c : cases) {
        Played run = Play(c.steps, c.result);
        EXPECT_EQ(Cause(run.traffic), c.cause) << c.name << "\n" << run.trace;
    }

    xolhost::Diagnosis late = xolhost::DiagnoseLine(Play(cases[1].steps, RC_FAILED).traffic, 4);
    ASSERT_TRUE(late.suggestedTimeout.has_value());
    EXPECT_EQ(*late.suggestedTimeout, 9u) << late.text; // 60 ms and half again, in 10 ms units
    EXPECT_EQ(Play(cases[0].steps, RC_FAILED).traffic.figures.restarts, 2u);

    // The count's verdict follows the last reply the driver read.
    Played bad = Play(cases[3].steps, RC_REFUSED);
    EXPECT_TRUE(bad.traffic.lastCountReplyBad);
    EXPECT_FALSE(bad.traffic.lastCountReplyOutOfStep);
    EXPECT_TRUE(Play(cases[4].steps, RC_REFUSED).traffic.lastCountReplyOutOfStep);
    EXPECT_FALSE(Play({Out(COUNT), In(COUNT2)}, RC_DONE).traffic.lastCountReplyBad);
}

// The driver gives an attempt up after 32 bad records in a row (a bad
// checksum or a read out of step): the record it read last is followed by a
// start request, not a next one.
TEST(LineDecoder, ThirtyTwoBadRecordsInARowEndTheAttempt) {
    std::vector<Step> steps{Out(START)};
    for (int i = 0; i < 32; ++i) {
        steps.push_back(In(i % 2 == 0 ? ZONE17_BAD : "\x01" + ZONE3, i));
        steps.push_back(Out(i == 31 ? START : NEXT, i));
    }
    steps.push_back(In(ZONE3, 40));
    steps.push_back(Out(NEXT, 40));
    steps.push_back(In(END, 41));
    Played run = Play(steps, RC_DONE);
    EXPECT_EQ(run.traffic.figures.records, 33u);
    EXPECT_EQ(run.traffic.figures.badChecksums, 16u);
    EXPECT_EQ(run.traffic.figures.outOfStep, 16u);
    EXPECT_EQ(run.traffic.figures.restarts, 1u);
    EXPECT_NE(run.trace.find("32 records in a row were skipped as damaged"), std::string::npos);
}

// Noise ahead of an answer: the driver's read starts before the frame's
// '@', or at a stray one. Each kind of read is counted once, and the retry
// that follows, read in step, is not.
TEST(LineDecoder, ReadsThatStartBeforeTheFrameAreOutOfStep) {
    const std::string noise = "\x11\x12\x13";
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::string traced;
    };
    const Case cases[] = {
        {"status record",
         {Out(START), In(noise + ZONE3), Out(NEXT), In(ZONE17), Out(NEXT), In(END)},
         "the driver read \"\\x11\\x12\\x13@S002000003\" as a status record: out of step"},
        {"count reply",
         {Out(COUNT), In(noise + COUNT2), Out(COUNT, 50), In(COUNT2, 51)},
         "the driver read \"\\x11\\x12\\x13@PA0002\" as a count reply: out of step"},
        {"command answer",
         {Out(COMMAND), In(noise + "@!\r"), Out(COMMAND, 50), In("@!\r", 51)},
         "the driver read \"\\x11\\x12\\x13\" as the command's answer: out of step"},
        // A stray '@' before the record: the read begins at an '@' but does
        // not end at the record's CR.
        {"status record after a stray '@'",
         {Out(START), In("@" + std::string(ZONE3)), Out(NEXT), In(ZONE17), Out(NEXT), In(END)},
         "as a status record: out of step"},
    };
    for (const Case& c : cases) {
        Played run = Play(c.steps, RC_DONE);
        const xolhost::LineFigures& f = run.traffic.figures;
        EXPECT_EQ(f.outOfStep, 1u) << c.name << "\n" << run.trace;
        EXPECT_EQ(f.badChecksums, 0u) << c.name;
        EXPECT_FALSE(f.clean()) << c.name;
        EXPECT_EQ(xolhost::FiguresJson(f)["out_of_step"], 1) << c.name;
        EXPECT_NE(run.trace.find(c.traced), std::string::npos) << c.name << "\n" << run.trace;
    }
    xolhost::LineFigures both;
    both.badChecksums = 2;
    both.outOfStep = 1;
    EXPECT_EQ(xolhost::LossCause(both), "to bad checksums (2) and out-of-step reads (1)");
    both.badChecksums = 0;
    EXPECT_EQ(xolhost::LossCause(both), "to out-of-step reads");
    both.strayBytes = 3; // noise, not the checksums, is named
    EXPECT_EQ(xolhost::LossCause(both), "to out-of-step reads, after 3 stray byte(s)");
}

// The driver's scan against a panel that answers each request `delayMs`
// after it arrives (the answer chosen then, as the simulator does) and falls
// silent for good once it has sent `silentAfter` records (-1: never). Each
// read waits `timeoutMs` for a reply that arrives after its request; three
// attempts. The replies still due when the call returns follow it.
struct ModelledScan {
    std::vector<Step> steps;
    int32_t result = RC_FAILED;
    int returnedMs = 0;
};

ModelledScan ModelScan(int delayMs, int silentAfter, int timeoutMs = 40) {
    const std::string report[] = {ZONE3, ZONE17, END};
    struct Due {
        int at;
        std::string bytes;
    };
    ModelledScan scan;
    std::vector<Due> due;
    std::size_t position = 0;
    int sent = 0;
    auto request = [&](const std::string& bytes, int at) {
        scan.steps.push_back(Out(bytes, at));
        position = bytes == START ? 0 : position;
        if (silentAfter >= 0 && sent >= silentAfter) {
            return;
        }
        const std::string& answer = report[std::min<std::size_t>(position, 2)];
        if (answer != END) {
            ++position;
            ++sent;
        }
        due.push_back({at + delayMs, answer});
    };
    int now = 0;
    int attempts = 0;
    request(START, now);
    for (;;) {
        auto read = std::find_if(due.begin(), due.end(), [&](const Due& d) {
            return d.at > now && d.at < now + timeoutMs;
        });
        if (read == due.end()) {
            now += timeoutMs;
            if (++attempts == 3) {
                break;
            }
            request(START, now);
            continue;
        }
        now = read->at;
        if (read->bytes == END) {
            scan.result = RC_DONE;
            break;
        }
        request(NEXT, now);
    }
    scan.returnedMs = now;
    for (const Due& d : due) {
        scan.steps.push_back(In(d.bytes, d.at));
    }
    // A reply that arrives as the driver asks again came first.
    std::stable_sort(scan.steps.begin(), scan.steps.end(), [](const Step& a, const Step& b) {
        return a.ms < b.ms || (a.ms == b.ms && a.direction == Direction::FromPanel &&
                               b.direction == Direction::ToPanel);
    });
    return scan;
}

// Each fault the simulator can make, as a failed call shows it on the line,
// and the cause the diagnosis names (the time-out is 40 ms).
TEST(LineDecoder, EachSimulatedFaultGetsItsCause) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        int returnedMs;
        std::string cause;
        std::string said;
    };
    auto modelled = [](const char* name, int delayMs, int silentAfter, std::string cause,
                       std::string said) {
        ModelledScan scan = ModelScan(delayMs, silentAfter);
        EXPECT_EQ(scan.result, RC_FAILED) << name << ": the modelled scan completed";
        return Case{name, scan.steps, scan.returnedMs, std::move(cause), std::move(said)};
    };
    const Case cases[] = {
        modelled("silent from the start", 0, 0, "no_answer", "nothing came back"),
        modelled("silent after 2 records", 2, 2, "no_answer", "then left the last 3 unanswered"),
        modelled("late by 1.2 time-outs", 48, -1, "late", "up to 48 ms"),
        modelled("late by 1.5 time-outs", 60, -1, "late", "up to 60 ms"),
        // Every answer comes after the call gave up: heard while listening on.
        modelled("late by 3 time-outs", 120, -1, "late", "up to 120 ms"),
        {"noise around the answers",
         {Out(START), In("\x7f\x13" + ZONE3, 5), Out(NEXT, 6), In("\x80" + ZONE17, 10),
          Out(START, 50), Out(START, 90)},
         130,
         "garbage",
         "(such as 7F 13"},
        {"an answer cut off, then silence",
         {Out(START), In(ZONE3, 5), Out(NEXT, 6), In("@S0010", 8), Out(START, 50), Out(START, 90)},
         130,
         "no_answer",
         "stopped in the middle (40 53 30 30 31 30)"},
        {"an answer cut off by the next one",
         {Out(COUNT), In("@PA00", 5), Out(COUNT, 45), In(COUNT2, 50)},
         50,
         "no_answer",
         "stopped in the middle"},
        // The rest of the reply comes 55 ms after its first piece.
        {"split pieces with long gaps",
         {Out(COUNT), In("@PA00", 5), Out(COUNT, 45), In("0253\r", 60)},
         85,
         "late",
         "up to 55 ms"},
    };
    for (const Case& c : cases) {
        Played run = Play(c.steps, RC_FAILED, c.returnedMs);
        xolhost::Diagnosis why = xolhost::DiagnoseLine(run.traffic, 4);
        EXPECT_EQ(xolhost::CauseName(why.cause), c.cause) << c.name << "\n" << run.trace;
        EXPECT_NE(why.text.find(c.said), std::string::npos) << c.name << ": " << why.text;
        EXPECT_EQ(why.text.find("none"), std::string::npos) << c.name << ": " << why.text;
        EXPECT_EQ(why.suggestedTimeout.has_value(), c.cause == "late") << c.name;
    }
    // A scan begun again: the completed attempt's losses apart from all of them.
    Played restarted =
        Play({Out(START), In(ZONE17_BAD), Out(NEXT, 1), Out(START, 50), In(ZONE3, 51),
              Out(NEXT, 52), In(ZONE17, 53), Out(NEXT, 54), In(END, 55)},
             RC_DONE);
    EXPECT_EQ(restarted.traffic.figures.badChecksums, 1u);
    EXPECT_EQ(restarted.traffic.figures.records, 3u);
    EXPECT_TRUE(restarted.traffic.lastAttempt.clean());
    EXPECT_EQ(restarted.traffic.lastAttempt.records, 2u);

    // Answers heard after the call returned were read by nobody.
    ModelledScan late = ModelScan(120, -1);
    Played run = Play(late.steps, RC_FAILED, late.returnedMs);
    EXPECT_EQ(run.traffic.figures.records, 0u);
    EXPECT_EQ(run.traffic.figures.discardedBytes, 3 * ZONE3.size()) << run.trace;
    EXPECT_EQ(run.traffic.unanswered, 0u);
}

} // namespace
