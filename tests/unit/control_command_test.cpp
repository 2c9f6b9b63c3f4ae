// Control commands over the scripted fake port: the exact frame of every
// command row and letter command, the values and numbers refused before
// anything is sent, and the answer and retry rules.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "protocol/control_command.h"
#include "support/protocol_fixture.h"

namespace {

using namespace xol;

class ControlCommandTest : public xol::test::ProtocolTest {
protected:
    int32_t Template(uint32_t kind, uint32_t number, uint16_t value) {
        point.kind = kind;
        point.number = number;
        point.data = &pointValue;
        pointValue.host = 0x5A5A;
        pointValue.value = value;
        const int32_t result = SendTemplateCommand(point);
        EXPECT_EQ(pointValue.value, value) << "the written value is only read";
        EXPECT_EQ(pointValue.host, 0x5A5A);
        return result;
    }
    PointRequest point{};
    PointValue pointValue{};
};

struct FrameCase {
    char kind;
    uint32_t number;
    uint16_t value;
    const char* frame;
};

// Checksums worked out by hand: the low byte of the sum of offsets 1 to n-4.
const FrameCase FRAME_CASES[] = {
    {'L', 12, 2, "@XEP0012B0\r"},
    {'L', 12, 3, "@XDP0012AF\r"},
    {'T', 0, 2, "@XET0000B1\r"},
    {'T', 9999, 3, "@XDT9999D4\r"},
    {'Q', 7, 0, "@XRS0007C4\r"},
    {'Q', 7, 1, "@XAS0007B3\r"},
    {'Q', 7, 2, "@XES0007B7\r"},
    {'Q', 7, 3, "@XDS0007B6\r"},
    {'A', 100, 0, "@XRA0100AC\r"},
    {'A', 100, 1, "@XAA01009B\r"},
    {'A', 100, 2, "@XEA01009F\r"},
    {'A', 100, 3, "@XDA01009E\r"},
    {'O', (5u << 16) | 123u, 0, "@XRO0500012384\r"},
    {'O', (5u << 16) | 123u, 1, "@XAO0500012373\r"},
    {'O', (99u << 16) | 9999u, 1, "@XAO990099999E\r"},
    {'O', 0, 0, "@XRO0000000079\r"},
    {'O', 0xFF000000u | (5u << 16) | 123u, 0, "@XRO0500012384\r"}, // bits 24-31 play no part
    {'X', 42, 1, "@XEZ0000421D\r"},
    {'X', 42, 0, "@XDZ0000421C\r"},
    {'X', 9999, 1, "@XEZ0099993B\r"},
};

TEST_F(ControlCommandTest, EveryRowSendsItsExactFrame) {
    for (const FrameCase& c : FRAME_CASES) {
        SCOPED_TRACE(std::string(c.frame, std::string(c.frame).size() - 1));
        RestartLine();
        Answer({"@!\r"});
        EXPECT_EQ(Template(c.kind, c.number, c.value), RC_DONE);
        EXPECT_EQ(fake::Writes(), std::vector<std::string>{c.frame});
    }
}

TEST_F(ControlCommandTest, RefusedValuesAndNumbersSendNothing) {
    struct Case {
        uint32_t kind;
        uint32_t number;
        uint16_t value;
    };
    const Case cases[] = {
        // values outside the row
        {'L', 12, 0},
        {'L', 12, 1},
        {'L', 12, 4},
        {'L', 12, 65535},
        {'T', 12, 0},
        {'T', 12, 1},
        {'T', 12, 4},
        {'T', 12, 65535},
        {'Q', 12, 4},
        {'Q', 12, 65535},
        {'A', 12, 4},
        {'A', 12, 65535},
        {'O', 12, 2},
        {'O', 12, 3},
        {'O', 12, 65535},
        {'X', 12, 2},
        {'X', 12, 3},
        {'X', 12, 65535},
        // numbers that do not fit their fields
        {'L', 10000, 2},
        {'T', 0xFFFFFFFFu, 2},
        {'Q', 0x80000000u, 1},
        {'A', 65536, 1},
        {'X', 10000, 1},
        {'X', 0xFFFFFFFFu, 1},
        {'O', (100u << 16) | 1u, 1},
        {'O', (255u << 16), 0},
        {'O', 10000, 1},
        {'O', 0xFFFF, 0},
        // kinds without a template
        {'D', 12, 0},
        {'P', 12, 0},
        {'Z', 12, 0},
        {'L' | 0x100, 12, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.kind << " " << c.number << " " << c.value);
        Answer({"@!\r"});
        EXPECT_EQ(Template(c.kind, c.number, c.value), RC_REFUSED);
        EXPECT_TRUE(NoTraffic());
        RestartLine();
    }
}

TEST_F(ControlCommandTest, ARequestWithoutAValueIsRefusedUnsent) {
    point.kind = 'L';
    point.number = 12;
    point.data = nullptr;
    EXPECT_EQ(SendTemplateCommand(point), RC_REFUSED);
    EXPECT_TRUE(NoTraffic());
}

struct AnswerCase {
    const char* name;
    std::vector<std::string> replies; // one per try; empty: no reply
    int32_t result;
    size_t frames;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class TemplateAnswerCases : public ControlCommandTest,
                            public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(TemplateAnswerCases, RetryUntilDoneOrRefused) {
    const AnswerCase& c = GetParam();
    Answer(c.replies);
    EXPECT_EQ(Template('L', 12, 2), c.result);
    EXPECT_EQ(fake::Writes(), std::vector<std::string>(c.frames, "@XEP0012B0\r"));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TemplateAnswerCases,
    ::testing::Values(AnswerCase{"DoneAtOnce", {"@!\r"}, RC_DONE, 1},
                      AnswerCase{"RefusedAtOnce", {"@U\r"}, RC_REFUSED, 1},
                      AnswerCase{"UnknownSilenceThenDone", {"@?\r", "", "@!\r"}, RC_DONE, 3},
                      AnswerCase{"RefusedOnSecondTry", {"@?\r", "@U\r"}, RC_REFUSED, 2},
                      AnswerCase{"ThreeUnknownAnswers", {"@?\r", "@?\r", "@?\r"}, RC_FAILED, 3},
                      AnswerCase{"ThreeSilences", {}, RC_FAILED, 3},
                      AnswerCase{"IncompleteReplies", {"@!", "!", "@U"}, RC_FAILED, 3},
                      // Noise before "@U" reads as "x!@": not framed, so not done.
                      AnswerCase{"NoiseBeforeARefusal", {"x!@U\r", "@U\r"}, RC_REFUSED, 2},
                      AnswerCase{
                          "MisframedAnswersNeverSettle", {"x!y", "#U\r", "@!x"}, RC_FAILED, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlCommandTest, ALateAnswerToAnEarlierTryIsDiscarded) {
    // The first try's answer is followed by a late "U"; the second try must
    // not take it for its own answer.
    fake::QueueReply("@?\r", 0);
    fake::QueueReply("@U\r", 0);
    fake::QueueReply("@!\r", 1);
    EXPECT_EQ(Template('A', 7, 1), RC_DONE);
    EXPECT_EQ(fake::Writes().size(), 2u);
}

TEST_F(ControlCommandTest, LateAnswersAreDrainedOnlyAfterRetries) {
    context().timeoutTicks = 4;
    // Answered at once: whatever follows is left for the next send's purge.
    fake::QueueReply("@!\r", 0);
    fake::QueueReply("@U\r", 0);
    EXPECT_EQ(Template('A', 7, 1), RC_DONE);
    EXPECT_EQ(fake::PendingInput(), 3u);

    // Answered on a retry, or not at all: the answers still to come from
    // the earlier tries are drained before the call returns.
    RestartLine();
    fake::QueueReply("", 0);
    fake::QueueReply("@!\r", 1);
    fake::QueueReply("@U\r", 1);
    EXPECT_EQ(Template('A', 7, 1), RC_DONE);
    EXPECT_EQ(fake::PendingInput(), 0u);

    RestartLine();
    fake::QueueReply("@?\r", 2);
    fake::QueueReply("@U\r", 2);
    EXPECT_EQ(Template('A', 7, 1), RC_FAILED);
    EXPECT_EQ(fake::PendingInput(), 0u);
}

TEST_F(ControlCommandTest, LetterCommandsSendTheirLetter) {
    const struct {
        char kind;
        const char* frame;
    } cases[] = {{'D', "@D\r"}, {'R', "@R\r"}, {'S', "@O\r"}};
    for (const auto& c : cases) {
        for (const char* reply : {"@!\r", "@U\r", "@\0\r"}) {
            SCOPED_TRACE(testing::Message() << c.kind << " " << reply);
            RestartLine();
            Answer({std::string(reply, 3)});
            EXPECT_EQ(SendLetterCommand(static_cast<uint32_t>(c.kind)), RC_DONE);
            EXPECT_EQ(fake::Writes(), std::vector<std::string>{c.frame});
        }
    }
}

TEST_F(ControlCommandTest, LetterCommandAnswerRules) {
    const AnswerCase cases[] = {
        {"Refused", {"@?\r"}, RC_REFUSED, 1},
        {"SilenceThenRefused", {"", "@?\r"}, RC_REFUSED, 2},
        {"TwoSilencesThenDone", {"", "", "@!\r"}, RC_DONE, 3},
        {"ThreeSilences", {}, RC_FAILED, 3},
        {"IncompleteThenNothing", {"@?"}, RC_FAILED, 3},
        // One noise byte before the refusal reads as "x@?": not framed, so
        // neither done nor refused, and the next try gets the refusal.
        {"NoiseBeforeARefusal", {"x@?\r", "@?\r"}, RC_REFUSED, 2},
        {"MisframedAnswersAreNeverDone", {"x@?\r", "#!\r", "@!x"}, RC_FAILED, 3},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        RestartLine();
        Answer(c.replies);
        EXPECT_EQ(SendLetterCommand('S'), c.result);
        EXPECT_EQ(fake::Writes(), std::vector<std::string>(c.frames, "@O\r"));
    }
}

TEST_F(ControlCommandTest, LetterCommandRefusesOtherKindsUnsent) {
    for (uint32_t kind : {uint32_t{'O'}, uint32_t{'Z'}, uint32_t{'L'}, uint32_t{'C'},
                          uint32_t{'S'} | 0x100u, uint32_t{0}}) {
        EXPECT_EQ(SendLetterCommand(kind), RC_REFUSED) << kind;
    }
    EXPECT_TRUE(NoTraffic());
}

TEST_F(ControlCommandTest, WithoutAPortAcceptedCommandsFailAndRefusedOnesStayRefused) {
    context().port = 0;
    EXPECT_EQ(Template('X', 42, 1), RC_FAILED);
    EXPECT_EQ(SendLetterCommand('D'), RC_FAILED);
    EXPECT_EQ(Template('X', 42, 2), RC_REFUSED);
    EXPECT_TRUE(NoTraffic());
}

} // namespace
