// The serial module's steps and failure paths, over the scripted fake port.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "serial/serial.h"
#include "support/fake_port.h"

namespace {

using namespace xol;
using fake::Call;

constexpr PortSettings SETTINGS{2400, 8, 0, 2};

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }

    // A configured port, with the record of its open cleared.
    PortHandle OpenPort(const char* name = "ttyS0") {
        PortHandle port = 0;
        EXPECT_EQ(SerialOpen(name, SETTINGS, 8, &port), SERIAL_OK);
        fake::ClearCalls();
        return port;
    }

    static std::vector<uint32_t> ReadSizes() {
        std::vector<uint32_t> sizes;
        for (const auto& record : fake::Calls()) {
            if (record.call == Call::Read) {
                sizes.push_back(record.completed);
            }
        }
        return sizes;
    }
};

// --- SerialOpen ---------------------------------------------------------------

TEST_F(SerialTest, OpenSetsTimeoutsBeforeLineStateThenQueues) {
    PortHandle port = 0;
    ASSERT_EQ(SerialOpen("ttyS0", SETTINGS, 8, &port), SERIAL_OK);
    EXPECT_NE(port, 0u);
    EXPECT_TRUE(fake::IsOpen(port));
    EXPECT_EQ(fake::CallSequence(),
              (std::vector<Call>{Call::Open, Call::GetState, Call::SetTimeouts, Call::SetState,
                                 Call::SetQueues}));
    EXPECT_EQ(fake::Calls()[0].name, "ttyS0");
    const PortTimeouts timeouts = fake::Timeouts(port);
    EXPECT_EQ(timeouts.readIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.readTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.readTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeouts.writeTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.writeTotalTimeoutConstant, 0u);
    EXPECT_EQ(fake::InputQueueSize(port), 1200u);
    EXPECT_EQ(fake::OutputQueueSize(port), 1200u);
}

TEST_F(SerialTest, OpenSetsEveryListedFieldAndKeepsTheRest) {
    // High bytes of the three small words are not the platform's business.
    const PortSettings settings{65535, 0x1207, 0x3402, 0x5603};
    PortHandle port = 0;
    ASSERT_EQ(SerialOpen("ttyS0", settings, 8, &port), SERIAL_OK);
    const PortLineState state = fake::LineState(port);
    EXPECT_EQ(state.baudRate, 65535u);
    EXPECT_EQ(state.byteSize, 7);
    EXPECT_EQ(state.stopBits, 2);
    EXPECT_EQ(state.parity, 3);
    EXPECT_TRUE(state.binary);
    EXPECT_TRUE(state.parityCheck);
    EXPECT_FALSE(state.outxCtsFlow);
    EXPECT_FALSE(state.outxDsrFlow);
    EXPECT_EQ(state.dtrControl, PORT_DTR_DISABLE);
    EXPECT_FALSE(state.dsrSensitivity);
    EXPECT_FALSE(state.outX);
    EXPECT_FALSE(state.inX);
    EXPECT_FALSE(state.errorCharReplace);
    EXPECT_FALSE(state.discardNull);
    EXPECT_EQ(state.rtsControl, PORT_RTS_DISABLE);
    EXPECT_FALSE(state.abortOnError);
    EXPECT_EQ(state.errorChar, 0xFC);
    const PortLineState reported = fake::DefaultReportedState();
    EXPECT_EQ(std::memcmp(state.platformState, reported.platformState, sizeof state.platformState),
              0);
}

TEST_F(SerialTest, OpenFlagsDriveDtrAndRtsFirstMatchFirst) {
    struct Case {
        uint16_t flags;
        PortDtr dtr;
        PortRts rts;
    };
    const Case cases[] = {
        {0x0000, PORT_DTR_DISABLE, PORT_RTS_DISABLE},
        {0x0008, PORT_DTR_DISABLE, PORT_RTS_DISABLE},
        {0x0001, PORT_DTR_ENABLE, PORT_RTS_DISABLE},
        {0x0100, PORT_DTR_ENABLE, PORT_RTS_DISABLE},
        {0x8001, PORT_DTR_ENABLE, PORT_RTS_DISABLE},
        {0x8000, PORT_DTR_HANDSHAKE, PORT_RTS_DISABLE},
        {0x0002, PORT_DTR_DISABLE, PORT_RTS_ENABLE},
        {0x0200, PORT_DTR_DISABLE, PORT_RTS_ENABLE},
        {0x3202, PORT_DTR_DISABLE, PORT_RTS_ENABLE},
        {0x1000, PORT_DTR_DISABLE, PORT_RTS_HANDSHAKE},
        {0x3000, PORT_DTR_DISABLE, PORT_RTS_HANDSHAKE},
        {0x2000, PORT_DTR_DISABLE, PORT_RTS_TOGGLE},
        {0xA000, PORT_DTR_HANDSHAKE, PORT_RTS_TOGGLE},
        {0xFFFF, PORT_DTR_ENABLE, PORT_RTS_ENABLE},
        {0x4CFC, PORT_DTR_DISABLE, PORT_RTS_DISABLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        fake::Reset();
        PortHandle port = 0;
        ASSERT_EQ(SerialOpen("ttyS0", SETTINGS, c.flags, &port), SERIAL_OK);
        EXPECT_EQ(fake::LineState(port).dtrControl, c.dtr);
        EXPECT_EQ(fake::LineState(port).rtsControl, c.rts);
    }
}

TEST_F(SerialTest, NulOpensUnconfiguredButLowerCaseIsAPort) {
    PortHandle port = 0;
    ASSERT_EQ(SerialOpen("NUL", SETTINGS, 8, &port), SERIAL_OK);
    EXPECT_TRUE(fake::IsOpen(port));
    EXPECT_EQ(fake::CallSequence(), std::vector<Call>{Call::Open});

    fake::ClearCalls();
    ASSERT_EQ(SerialOpen("nul", SETTINGS, 8, &port), SERIAL_OK);
    EXPECT_EQ(fake::CountCalls(Call::SetState), 1u);
    EXPECT_EQ(fake::CountCalls(Call::SetTimeouts), 1u);
    EXPECT_EQ(fake::CountCalls(Call::SetQueues), 1u);
}

TEST_F(SerialTest, EachFailedOpenStepLeavesNoPortHeld) {
    struct Case {
        Call failing;
        SerialStatus status;
        bool closed; // the step came after the open, so the port was closed again
    };
    const Case cases[] = {
        {Call::Open, SERIAL_OPEN_FAILED, false},
        {Call::GetState, SERIAL_GET_STATE_FAILED, true},
        {Call::SetTimeouts, SERIAL_OPEN_FAILED, true},
        {Call::SetState, SERIAL_SET_STATE_FAILED, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fake::CallName(c.failing));
        fake::Reset();
        fake::FailNext(c.failing);
        PortHandle port = 77;
        EXPECT_EQ(SerialOpen("ttyS0", SETTINGS, 8, &port), c.status);
        EXPECT_EQ(fake::OpenPorts(), 0u);
        EXPECT_EQ(fake::CountCalls(Call::Close), c.closed ? 1u : 0u);
        EXPECT_EQ(fake::CountCalls(Call::SetQueues), 0u);
        EXPECT_EQ(fake::Calls().back().call, c.closed ? Call::Close : Call::Open);
        // Nothing usable is left in the out-parameter, and the port opens again.
        EXPECT_EQ(port, 0u);
        EXPECT_EQ(SerialOpen("ttyS0", SETTINGS, 8, &port), SERIAL_OK);
    }
}

TEST_F(SerialTest, RefusedQueueSizesDoNotFailTheOpen) {
    fake::FailNext(Call::SetQueues);
    PortHandle port = 0;
    EXPECT_EQ(SerialOpen("ttyS0", SETTINGS, 8, &port), SERIAL_OK);
    EXPECT_TRUE(fake::IsOpen(port));
}

TEST_F(SerialTest, SecondOpenOfAHeldPortFails) {
    const PortHandle first = OpenPort();
    PortHandle second = 0;
    EXPECT_EQ(SerialOpen("ttyS0", SETTINGS, 8, &second), SERIAL_OPEN_FAILED);
    EXPECT_TRUE(fake::IsOpen(first));
}

// --- SerialClose ----------------------------------------------------------------

TEST_F(SerialTest, CloseReportsTheOutcome) {
    const PortHandle port = OpenPort();
    fake::FailNext(Call::Close);
    EXPECT_EQ(SerialClose(port), SERIAL_IO_FAILED);
    EXPECT_TRUE(fake::IsOpen(port));
    EXPECT_EQ(SerialClose(port), SERIAL_OK);
    EXPECT_FALSE(fake::IsOpen(port));
}

// --- SerialSetReadTimeout ---------------------------------------------------------

TEST_F(SerialTest, SetReadTimeoutWritesOnlyOnChangeAndReturnsThePrevious) {
    const PortHandle port = OpenPort();
    EXPECT_EQ(SerialSetReadTimeout(port, 100), 100u);
    EXPECT_EQ(fake::CountCalls(Call::SetTimeouts), 0u);

    // The other members go back as read.
    fake::SetPortTimeouts({7, 8, 1000, 9, 11}, port);
    EXPECT_EQ(SerialSetReadTimeout(port, 5), 100u);
    EXPECT_EQ(fake::CountCalls(Call::SetTimeouts), 1u);
    const PortTimeouts now = fake::Timeouts(port);
    EXPECT_EQ(now.readIntervalTimeout, 7u);
    EXPECT_EQ(now.readTotalTimeoutMultiplier, 8u);
    EXPECT_EQ(now.readTotalTimeoutConstant, 50u);
    EXPECT_EQ(now.writeTotalTimeoutMultiplier, 9u);
    EXPECT_EQ(now.writeTotalTimeoutConstant, 11u);
}

TEST_F(SerialTest, SetReadTimeoutDropsTheRemainderAndAnswersZeroOnFailure) {
    const PortHandle port = OpenPort();
    fake::SetPortTimeouts({0, 0, 1009, 0, 0}, port);
    EXPECT_EQ(SerialSetReadTimeout(port, 20), 100u);
    fake::SetPortTimeouts({0, 0, 9, 0, 0}, port);
    EXPECT_EQ(SerialSetReadTimeout(port, 20), 0u);
    EXPECT_EQ(fake::Timeouts(port).readTotalTimeoutConstant, 200u);

    fake::FailNext(Call::GetTimeouts);
    EXPECT_EQ(SerialSetReadTimeout(port, 30), 0u);
    EXPECT_EQ(fake::Timeouts(port).readTotalTimeoutConstant, 200u);

    fake::FailNext(Call::SetTimeouts);
    EXPECT_EQ(SerialSetReadTimeout(port, 30), 0u);
    EXPECT_EQ(fake::Timeouts(port).readTotalTimeoutConstant, 200u);
}

TEST_F(SerialTest, SetReadTimeoutHoldsAtTheLargestInsteadOfWrapping) {
    const PortHandle port = OpenPort();
    EXPECT_EQ(SerialSetReadTimeout(port, 429496729), 100u);
    EXPECT_EQ(fake::Timeouts(port).readTotalTimeoutConstant, 4294967290u);
    EXPECT_EQ(SerialSetReadTimeout(port, 429496730), 429496729u);
    EXPECT_EQ(fake::Timeouts(port).readTotalTimeoutConstant, 0xFFFFFFFFu);
    EXPECT_EQ(SerialSetReadTimeout(port, 0xFFFFFFFFu), 429496729u);
}

// --- SerialPurgeInput -------------------------------------------------------------

TEST_F(SerialTest, PurgeOfAnEmptyQueueReadsNothingAndKeepsTheTimeout) {
    const PortHandle port = OpenPort();
    EXPECT_EQ(SerialPurgeInput(port), 0);
    EXPECT_EQ(fake::CallSequence(), std::vector<Call>{Call::InputWaiting});
    EXPECT_EQ(fake::Timeouts(port).readTotalTimeoutConstant, 1000u);
}

TEST_F(SerialTest, PurgeReadsWholeChunksAt50msAndRestoresTheTimeout) {
    const PortHandle port = OpenPort();
    fake::QueueInput(std::string(1300, 'x'));
    EXPECT_EQ(SerialPurgeInput(port), 0);
    EXPECT_EQ(ReadSizes(), (std::vector<uint32_t>{512, 512, 276}));
    for (const auto& record : fake::Calls()) {
        if (record.call == Call::Read) {
            EXPECT_EQ(record.requested, 512u);
            EXPECT_EQ(record.readTimeoutMs, 50u);
        }
    }
    EXPECT_EQ(fake::PendingInput(), 0u);
    EXPECT_EQ(fake::Timeouts(port).readTotalTimeoutConstant, 1000u);
}

TEST_F(SerialTest, PurgeOfExactChunksEndsOnAnEmptyRead) {
    const PortHandle port = OpenPort();
    fake::QueueInput(std::string(1024, 'x'));
    EXPECT_EQ(SerialPurgeInput(port), 0);
    EXPECT_EQ(ReadSizes(), (std::vector<uint32_t>{512, 512, 0}));
}

TEST_F(SerialTest, PurgeAfterAZeroTimeoutKeeps50ms) {
    const PortHandle port = OpenPort();
    (void)SerialSetReadTimeout(port, 0);
    fake::QueueInput("abc");
    EXPECT_EQ(SerialPurgeInput(port), 0);
    EXPECT_EQ(fake::Timeouts(port).readTotalTimeoutConstant, 50u);
}

TEST_F(SerialTest, PurgeReadsEvenWhenTheCountFails) {
    const PortHandle port = OpenPort();
    fake::QueueInput("abc");
    fake::FailNext(Call::InputWaiting);
    EXPECT_EQ(SerialPurgeInput(port), 0);
    EXPECT_EQ(ReadSizes(), std::vector<uint32_t>{3});
    EXPECT_EQ(fake::Timeouts(port).readTotalTimeoutConstant, 1000u);
}

TEST_F(SerialTest, PurgeReportsAFailedReadAndStillRestores) {
    const PortHandle port = OpenPort();
    fake::QueueInput(std::string(2000, 'x'));
    fake::FailNext(Call::Read, 1);
    EXPECT_EQ(SerialPurgeInput(port), 1);
    EXPECT_EQ(fake::CountCalls(Call::Read), 2u);
    EXPECT_EQ(fake::Timeouts(port).readTotalTimeoutConstant, 1000u);
}

// --- SerialWriteExact ---------------------------------------------------------------

TEST_F(SerialTest, WriteReportsWholeShortAndFailedWrites) {
    const PortHandle port = OpenPort();
    uint32_t written = 99;
    EXPECT_EQ(SerialWriteExact(port, "@S\r", 3, &written), SERIAL_OK);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(SerialWriteExact(port, "@!\r", 3, nullptr), SERIAL_OK);

    fake::ShortWriteNext(2);
    EXPECT_EQ(SerialWriteExact(port, "abcd", 4, &written), SERIAL_SHORT_WRITE);
    EXPECT_EQ(written, 2u);

    fake::FailNext(Call::Write);
    written = 99;
    EXPECT_EQ(SerialWriteExact(port, "efgh", 4, &written), SERIAL_IO_FAILED);
    EXPECT_EQ(written, 99u);
    // One write per call: the rest of a short write is not sent again.
    EXPECT_EQ(fake::Writes(), (std::vector<std::string>{"@S\r", "@!\r", "ab"}));
}

// --- SerialReadExact -----------------------------------------------------------------

TEST_F(SerialTest, ReadGathersPieces) {
    const PortHandle port = OpenPort();
    fake::QueueInput("AB");
    fake::QueueInput("CDEFGHIJKLMN");
    char buffer[14] = {};
    uint32_t received = 99;
    EXPECT_EQ(SerialReadExact(port, buffer, 14, &received), SERIAL_OK);
    EXPECT_EQ(received, 14u);
    EXPECT_EQ(std::string(buffer, 14), "ABCDEFGHIJKLMN");
    const auto& calls = fake::Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].requested, 14u);
    EXPECT_EQ(calls[1].requested, 12u);
}

TEST_F(SerialTest, ReadFailsWhenAPieceNeverComes) {
    const PortHandle port = OpenPort();
    fake::QueueInput("AB");
    char buffer[14] = {};
    uint32_t received = 99;
    EXPECT_EQ(SerialReadExact(port, buffer, 14, &received), SERIAL_IO_FAILED);
    EXPECT_EQ(received, 2u);

    received = 99;
    EXPECT_EQ(SerialReadExact(port, buffer, 1, &received), SERIAL_IO_FAILED);
    EXPECT_EQ(received, 0u);
}

TEST_F(SerialTest, ReadFailureKeepsTheCountSoFar) {
    const PortHandle port = OpenPort();
    fake::QueueInput("AB");
    fake::QueueInput("CD");
    fake::FailNext(Call::Read, 1);
    char buffer[4] = {};
    uint32_t received = 99;
    EXPECT_EQ(SerialReadExact(port, buffer, 4, &received), SERIAL_IO_FAILED);
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(SerialReadExact(port, buffer, 2, nullptr), SERIAL_OK);
    EXPECT_EQ(std::string(buffer, 2), "CD");
}

TEST_F(SerialTest, ReadLeavesBytesBeyondTheCountQueued) {
    const PortHandle port = OpenPort();
    fake::QueueInput("ABCDEFGHIJKLMN");
    char buffer[2] = {};
    EXPECT_EQ(SerialReadExact(port, buffer, 2, nullptr), SERIAL_OK);
    EXPECT_EQ(std::string(buffer, 2), "AB");
    EXPECT_EQ(fake::PendingInput(), 12u);
}

// --- SerialSendBreak, SerialDelay ---------------------------------------------------------

TEST_F(SerialTest, BreakHoldsTheLineForTheGivenTime) {
    const PortHandle port = OpenPort();
    EXPECT_EQ(SerialSendBreak(250, port), 0);
    EXPECT_EQ(fake::CallSequence(),
              (std::vector<Call>{Call::BreakOn, Call::Sleep, Call::BreakOff}));
    EXPECT_EQ(fake::Calls()[1].requested, 250u);
    EXPECT_FALSE(fake::BreakIsOn(port));

    fake::ClearCalls();
    fake::FailAlways(Call::BreakOn);
    EXPECT_EQ(SerialSendBreak(10, port), 0);
    EXPECT_EQ(fake::CountCalls(Call::BreakOff), 1u);
}

TEST_F(SerialTest, DelaySleeps) {
    EXPECT_EQ(SerialDelay(40), 0);
    ASSERT_EQ(fake::CallSequence(), std::vector<Call>{Call::Sleep});
    EXPECT_EQ(fake::Calls()[0].requested, 40u);
}

} // namespace
