// The frame layer: checksum arithmetic, the check of received frames, and
// send and receive on the current context's port.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "codec/frame_build.h"
#include "protocol/frame.h"
#include "support/protocol_fixture.h"

namespace {

using namespace xol;
using cis::ChecksummedFrame;

const uint8_t* Bytes(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

uint32_t Length(const std::string& text) {
    return static_cast<uint32_t>(text.size());
}

TEST(CisChecksum, SumsTheBodyModulo256) {
    // X E P 0 0 1 2 sums to 432: 176 after the wrap.
    const std::string frame = "@XEP0012CC\r";
    EXPECT_EQ(CisChecksum(Bytes(frame), Length(frame)), 0xB0);
    // Neither "@", the checksum positions nor CR enter the sum.
    const std::string other = "#XEP0012zz\n";
    EXPECT_EQ(CisChecksum(Bytes(other), Length(other)), 0xB0);
}

TEST(CisChecksum, FramesOfFourBytesOrFewerSumToZero) {
    const std::string frame = "@\x7F\x7F\x7F\x7F\r";
    for (uint32_t n = 0; n <= 4; ++n) {
        EXPECT_EQ(CisChecksum(Bytes(frame), n), 0) << n;
    }
    EXPECT_EQ(CisChecksum(Bytes(frame), 5), 0x7F);
}

TEST(CisChecksum, LengthIsTakenModulo256) {
    std::string frame = "@XEP0012B0\r";
    frame.resize(256 + 11, '\x55');
    EXPECT_EQ(CisChecksum(Bytes(frame), 256 + 11), 0xB0);
    EXPECT_EQ(CisChecksum(Bytes(frame), 256 + 3), 0);
}

struct VerifyCase {
    const char* name;
    std::string frame;
    bool expected;
};

void PrintTo(const VerifyCase& c, std::ostream* os) {
    *os << c.name;
}

class CisVerifyCases : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(CisVerifyCases, ChecksTheFieldAgainstTheBody) {
    const VerifyCase& c = GetParam();
    // An exactly sized copy: a read past the frame shows under a sanitizer.
    std::vector<uint8_t> frame(c.frame.begin(), c.frame.end());
    EXPECT_EQ(CisVerify(frame.data(), static_cast<uint32_t>(frame.size())), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, CisVerifyCases,
    ::testing::Values(VerifyCase{"UpperCase", "@XEP0012B0\r", true},
                      VerifyCase{"LowerCase", "@XEP0012b0\r", true},
                      VerifyCase{"BodyChanged", "@XEP0013B0\r", false},
                      VerifyCase{"DigitChanged", "@XEP0012B1\r", false},
                      VerifyCase{"OneDigitThenNonDigit",
                                 "@\x05\x05"
                                 "A \r",
                                 true},
                      VerifyCase{"OneDigitWrongValue",
                                 "@\x05\x05"
                                 "B \r",
                                 false},
                      VerifyCase{"LeadingSpace", "@\x05\x05 A\r", false},
                      VerifyCase{"LeadingSign", "@\x05\x05+A\r", false},
                      VerifyCase{"NonHexDigit", "@XEP0012G0\r", false},
                      VerifyCase{"RecordFromThePanel", ChecksummedFrame("A1010000012"), true},
                      VerifyCase{"StartAndEndNotExamined", "#XEP0012B0#", true}),
    [](const auto& info) { return std::string(info.param.name); });

struct DecimalCase {
    const char* field;
    bool found;
    int32_t value;
};

TEST(CisReadDecimal, ReadsOnlyInsideItsField) {
    const DecimalCase cases[] = {
        {"0042", true, 42}, {"9999", true, 9999}, {"-001", true, -1},  {"+012", true, 12},
        {"  12", true, 12}, {" 7  ", true, 7},    {"\t\t07", true, 7}, {"12ab", true, 12},
        {" 1 2", true, 1},  {"    ", false, 0},   {"-   ", false, 0},  {"  - ", false, 0},
        {"ab12", false, 0}, {"0000", true, 0},
    };
    for (const DecimalCase& c : cases) {
        SCOPED_TRACE(c.field);
        // The field is followed by digits that must never be taken.
        std::string text = std::string(c.field) + "3A";
        int32_t value = 0x5EED;
        EXPECT_EQ(CisReadDecimal(Bytes(text), 4, &value), c.found);
        EXPECT_EQ(value, c.found ? c.value : 0x5EED);
    }
}

TEST(CisReadDecimal, RefusesFieldsTooWideForItsNumber) {
    const std::string text = "12345678901";
    int32_t value = 7;
    EXPECT_TRUE(CisReadDecimal(Bytes(text), 9, &value));
    EXPECT_EQ(value, 123456789);
    EXPECT_FALSE(CisReadDecimal(Bytes(text), 10, &value));
    EXPECT_EQ(value, 123456789);
}

class FrameIoTest : public xol::test::ProtocolTest {};

TEST_F(FrameIoTest, SendDiscardsStaleInputBeforeWriting) {
    fake::QueueInput("@U\r");
    fake::QueueReply("@!\r");
    EXPECT_TRUE(CisSend("@D\r", 3));
    EXPECT_EQ(fake::Written(), "@D\r");
    char reply[3];
    ASSERT_TRUE(CisReceive(reply, 3));
    EXPECT_EQ(std::string(reply, 3), "@!\r");
    EXPECT_EQ(fake::PendingInput(), 0u);
}

TEST_F(FrameIoTest, SendReportsShortAndFailedWrites) {
    fake::ShortWriteNext(2);
    EXPECT_FALSE(CisSend("@PA\r", 4));
    fake::FailNext(fake::Call::Write);
    EXPECT_FALSE(CisSend("@PA\r", 4));
    EXPECT_TRUE(CisSend("@PA\r", 4));
}

TEST_F(FrameIoTest, ReceiveTakesOnlyTheBytesAskedFor) {
    const std::string record = cis::StatusRecord(12, 1);
    fake::QueueInput(record);
    char head[2];
    ASSERT_TRUE(CisReceive(head, 2));
    EXPECT_EQ(std::string(head, 2), record.substr(0, 2));
    EXPECT_EQ(fake::PendingInput(), 12u);
    char body[12];
    ASSERT_TRUE(CisReceive(body, 12));
    EXPECT_EQ(std::string(body, 12), record.substr(2));
}

TEST_F(FrameIoTest, ReceiveGathersPiecesAndFailsWhenTheRestNeverComes) {
    fake::QueueInput("@P");
    fake::QueueInput("A00");
    fake::QueueInput("42xx\r");
    char reply[10];
    ASSERT_TRUE(CisReceive(reply, 10));
    EXPECT_EQ(std::string(reply, 10), "@PA0042xx\r");

    fake::QueueInput("@PA00");
    EXPECT_FALSE(CisReceive(reply, 10));
    fake::FailNext(fake::Call::Read);
    fake::QueueInput("@PA0042xx\r");
    EXPECT_FALSE(CisReceive(reply, 10));
}

TEST_F(FrameIoTest, NothingMovesWithoutAPort) {
    const PortHandle port = context().port;
    context().port = 0;
    fake::QueueInput("@!\r");
    char reply[3];
    EXPECT_FALSE(CisSend("@D\r", 3));
    EXPECT_FALSE(CisReceive(reply, 3));
    EXPECT_TRUE(NoTraffic());

    context().port = port;
    SetCurrentContext(nullptr);
    EXPECT_FALSE(CisSend("@D\r", 3));
    EXPECT_FALSE(CisReceive(reply, 3));
    EXPECT_TRUE(NoTraffic());
}

} // namespace
