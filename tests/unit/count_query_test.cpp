// Count queries over the scripted fake port: the query per kind, the count
// read from its own field, and the rule that only the last try's outcome
// counts.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "codec/frame_build.h"
#include "protocol/count_query.h"
#include "support/protocol_fixture.h"

namespace {

using namespace xol;
using cis::ChecksummedFrame;
using cis::CorruptChecksum;

constexpr uint16_t BEFORE = 0xBEEF;

// A reply to the C query with its count field as written; the N cases use it too.
std::string CountReply(const char* count) {
    return cis::CountReply('C', count);
}

class CountQueryTest : public xol::test::ProtocolTest {
protected:
    int32_t Query(uint32_t kind) {
        point.kind = kind;
        point.data = &pointValue;
        pointValue.host = 0x7777;
        pointValue.value = BEFORE;
        const int32_t result = RunCountQuery(point);
        EXPECT_EQ(pointValue.host, 0x7777);
        return result;
    }
    PointRequest point{};
    PointValue pointValue{};
};

TEST_F(CountQueryTest, EachKindAsksItsOwnQuestion) {
    Answer({CountReply("0042")});
    EXPECT_EQ(Query('C'), RC_DONE);
    EXPECT_EQ(fake::Writes(), std::vector<std::string>{"@PA\r"});
    EXPECT_EQ(pointValue.value, 42);

    RestartLine();
    Answer({CountReply("0017")});
    EXPECT_EQ(Query('N'), RC_DONE);
    EXPECT_EQ(fake::Writes(), std::vector<std::string>{"@PD\r"});
    EXPECT_EQ(pointValue.value, 17);
}

// A reply with the count field "  12" whose checksum starts with a decimal
// digit, so that a reading that runs on would find 123 or so.
std::string SpacedCountBeforeDigitChecksum() {
    for (char c = 'A'; c <= 'z'; ++c) {
        std::string reply = ChecksummedFrame(std::string("P") + c + "  12");
        if (reply[7] >= '0' && reply[7] <= '9') {
            return reply;
        }
    }
    return {};
}

TEST_F(CountQueryTest, CountIsReadFromItsOwnField) {
    const struct {
        std::string reply;
        uint16_t value;
    } cases[] = {
        {CountReply("0000"), 0},     {CountReply("9999"), 9999},
        {CountReply("-001"), 65535}, {CountReply("+123"), 123},
        {CountReply(" 7  "), 7},     {SpacedCountBeforeDigitChecksum(), 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        RestartLine();
        Answer({c.reply});
        EXPECT_EQ(Query('C'), RC_DONE);
        EXPECT_EQ(pointValue.value, c.value);
        EXPECT_EQ(fake::Writes().size(), 1u);
    }
}

const std::string GOOD = CountReply("0042");
const std::string BAD = CorruptChecksum(GOOD);
// Four bytes of noise before GOOD: the 10-byte read starts four bytes early,
// passes its checksum and finds a number other than 42 in its count field.
const std::string SHIFTED = [] {
    const std::string noise =
        xol::test::NoiseForAShiftedRead(GOOD, 4, GOOD.size(), [](const std::string& read) {
            int count = 0;
            return cis::DriverDecimal(std::string_view(read).substr(3, 4), count) && count != 42;
        });
    return noise.empty() ? std::string() : noise + GOOD;
}();
const std::string NO_AT = "#" + GOOD.substr(1);
const std::string NO_CR = GOOD.substr(0, 9) + "x";

struct TriesCase {
    const char* name;
    std::vector<std::string> replies; // one per try; empty: no reply
    int32_t result;
    size_t queries;
    uint16_t value;
};

void PrintTo(const TriesCase& c, std::ostream* os) {
    *os << c.name;
}

class CountQueryTries : public CountQueryTest, public ::testing::WithParamInterface<TriesCase> {};

TEST_P(CountQueryTries, OnlyTheLastTryCounts) {
    const TriesCase& c = GetParam();
    ASSERT_FALSE(SHIFTED.empty());
    Answer(c.replies);
    EXPECT_EQ(Query('N'), c.result);
    EXPECT_EQ(fake::Writes(), std::vector<std::string>(c.queries, "@PD\r"));
    EXPECT_EQ(pointValue.value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Tries, CountQueryTries,
    ::testing::Values(
        TriesCase{"SilenceThenAnswer", {"", GOOD}, RC_DONE, 2, 42},
        TriesCase{"BadThenAnswer", {BAD, GOOD}, RC_DONE, 2, 42},
        TriesCase{"BadBadSilence", {BAD, BAD, ""}, RC_FAILED, 3, BEFORE},
        TriesCase{"SilenceSilenceBad", {"", "", BAD}, RC_REFUSED, 3, BEFORE},
        TriesCase{"ThreeBad", {BAD, BAD, BAD}, RC_REFUSED, 3, BEFORE},
        TriesCase{"ThreeSilences", {}, RC_FAILED, 3, BEFORE},
        TriesCase{
            "ShortReplies", {GOOD.substr(0, 9), GOOD.substr(0, 2), "@"}, RC_FAILED, 3, BEFORE},
        TriesCase{"NoDigitCountsAsBad", {"", "", CountReply("    ")}, RC_REFUSED, 3, BEFORE},
        TriesCase{"ShiftedReadThenAnswer", {SHIFTED, GOOD}, RC_DONE, 2, 42},
        TriesCase{"ShiftedReadsCountAsBad", {SHIFTED, "", SHIFTED}, RC_REFUSED, 3, BEFORE},
        TriesCase{"MisframedCountsAsBad", {NO_AT, NO_CR, NO_AT}, RC_REFUSED, 3, BEFORE},
        TriesCase{"SignOnlyCountsAsBad",
                  {CountReply(" -  "), CountReply("abcd"), CountReply("+   ")},
                  RC_REFUSED,
                  3,
                  BEFORE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CountQueryTest, ALateReplyToAnEarlierTryIsDiscarded) {
    // A bad reply followed closely by a stale good one: the second query's
    // purge drops the stale bytes, so its own (different) answer counts.
    fake::QueueReply(BAD, 0);
    fake::QueueReply(CountReply("0001"), 0);
    fake::QueueReply(CountReply("0002"), 1);
    EXPECT_EQ(Query('C'), RC_DONE);
    EXPECT_EQ(pointValue.value, 2);
}

TEST_F(CountQueryTest, RefusedWithoutAValueAndFailedWithoutAPort) {
    point.kind = 'C';
    point.data = nullptr;
    Answer({GOOD});
    EXPECT_EQ(RunCountQuery(point), RC_REFUSED);
    EXPECT_TRUE(NoTraffic());

    context().port = 0;
    EXPECT_EQ(Query('C'), RC_FAILED);
    EXPECT_EQ(pointValue.value, BEFORE);
    EXPECT_TRUE(NoTraffic());
}

} // namespace
