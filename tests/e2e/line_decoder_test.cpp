// What xolhost's line decoder makes of the bytes the relay passes: which
// records the driver read and skipped, and the cause it gives a failed call.
// Each case is a scripted exchange with the times the bytes passed; the
// frames' checksums are worked out by hand.
#include <gtest/gtest.h>

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

Played Play(const std::vector<Step>& steps, int32_t result) {
    Played run;
    xolhost::DecoderSettings settings;
    settings.timeoutMs = 40;
    settings.trace = [&run](const std::string& line) { run.trace += line + "\n"; };
    xolhost::LineDecoder decoder(settings);
    auto start = xolhost::SteadyClock::now();
    decoder.beginCall();
    for (const Step& step : steps) {
        decoder.feed(step.direction, step.bytes, start + std::chrono::milliseconds(step.ms));
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
         {Out(START), Out(START, 45), In(ZONE3, 60), Out(START, 90), In(ZONE3, 110)},
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
}

} // namespace
