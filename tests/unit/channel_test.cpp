// The channel lifecycle over the scripted fake port, through XolMain as the
// host calls it, with the host's log captured.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <xolest/keldor.h>
#include <xolest/xolest.h>

#include "support/driver_call.h"
#include "support/fake_port.h"

namespace {

using namespace xol;
using fake::Call;

struct LogLine {
    int cls;
    std::string text;
};

void CaptureLog(int cls, const char* text, void* user) {
    static_cast<std::vector<LogLine>*>(user)->push_back({cls, text});
}

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        std::memset(&context, 0, sizeof context);
        KeldorSetSink(CaptureLog, &log);
    }
    void TearDown() override { KeldorSetSink(nullptr, nullptr); }

    int32_t Run(int32_t function, void* params = nullptr) {
        return xoltest::CallDriver(&context, function, params);
    }
    int32_t Open(const char* name, uint32_t timeout = 40, uint32_t enabled = 1,
                 PortSettings settings = {2400, 8, 0, 2}) {
        OpenRequest open{};
        std::strncpy(open.name, name, sizeof open.name);
        open.enabled = enabled;
        open.timeout = timeout;
        open.settings = settings;
        return Run(FC_OPEN_CHANNEL, &open);
    }
    int32_t Reconfigure(const char* name, uint32_t timeout,
                        PortSettings settings = {9600, 7, 2, 1}) {
        ReconfigureRequest reconfigure{};
        std::strncpy(reconfigure.name, name, sizeof reconfigure.name);
        reconfigure.timeout = timeout;
        reconfigure.settings = settings;
        return Run(FC_RECONFIGURE_CHANNEL, &reconfigure);
    }
    bool ContextIs(const DriverContext& expected) const {
        return std::memcmp(&context, &expected, sizeof context) == 0;
    }

    DriverContext context;
    std::vector<LogLine> log;
};

// --- OpenChannel --------------------------------------------------------------------

TEST_F(ChannelTest, OpenStoresThePortConfigAndHostTimeout) {
    ASSERT_EQ(Open("ttyS0", 40, 3, {1200, 7, 2, 1}), RC_DONE);
    EXPECT_EQ(context.enabled, 3u);
    EXPECT_EQ(context.port, fake::LastOpened());
    EXPECT_TRUE(fake::IsOpen(context.port));
    EXPECT_EQ(context.timeoutTicks, 40u);
    EXPECT_STREQ(context.config.name, "ttyS0");
    EXPECT_EQ(context.config.settings.baud, 1200);
    EXPECT_EQ(context.config.settings.dataBits, 7);
    EXPECT_EQ(context.config.settings.stopBits, 2);
    EXPECT_EQ(context.config.settings.parity, 1);
    EXPECT_EQ(context.config.flags, 8);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 400u);
    EXPECT_EQ(fake::LineState().dtrControl, PORT_DTR_DISABLE);
    EXPECT_EQ(fake::LineState().rtsControl, PORT_RTS_DISABLE);
    EXPECT_TRUE(log.empty());
}

TEST_F(ChannelTest, DisabledOpenRecordsTheFlagOnly) {
    context.port = 0x1234;
    ASSERT_EQ(Open("ttyS0", 40, 0), RC_DONE);
    EXPECT_EQ(context.enabled, 0u);
    EXPECT_EQ(context.port, 0x1234u);
    EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(ChannelTest, FailedOpenLogsAndLeavesThePortUntouched) {
    ASSERT_EQ(Open("ttyS0", 40), RC_DONE);
    ASSERT_EQ(Run(FC_CLOSE_CHANNEL), RC_DONE);
    DriverContext before = context;
    before.enabled = 5;
    fake::SetMissing("ttyS9");
    EXPECT_EQ(Open("ttyS9", 77, 5), RC_FAILED);
    EXPECT_TRUE(ContextIs(before)); // only the enable flag changed
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].cls, 32);
    EXPECT_EQ(log[0].text, "XOLEST : Fail to open ttyS9");
}

TEST_F(ChannelTest, EveryFailedOpenStepIsLogged) {
    for (Call failing : {Call::Open, Call::GetState, Call::SetTimeouts, Call::SetState}) {
        SCOPED_TRACE(fake::CallName(failing));
        fake::Reset();
        log.clear();
        fake::FailNext(failing);
        EXPECT_EQ(Open("COM1"), RC_FAILED);
        EXPECT_EQ(context.port, 0u);
        EXPECT_EQ(fake::OpenPorts(), 0u);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].text, "XOLEST : Fail to open COM1");
    }
}

TEST_F(ChannelTest, NulOpensWithoutLineSettings) {
    ASSERT_EQ(Open("NUL"), RC_DONE);
    EXPECT_NE(context.port, 0u);
    EXPECT_EQ(fake::CountCalls(Call::SetState), 0u);
    EXPECT_EQ(fake::CountCalls(Call::GetState), 0u);
}

TEST_F(ChannelTest, UnterminatedNamesAreRefusedBeforeAnythingChanges) {
    ASSERT_EQ(Open("ttyS0", 40), RC_DONE);
    fake::ClearCalls();
    const DriverContext before = context;

    OpenRequest open{};
    std::memset(open.name, 'A', sizeof open.name);
    open.enabled = 1;
    open.timeout = 99;
    EXPECT_EQ(Run(FC_OPEN_CHANNEL, &open), RC_REFUSED);
    EXPECT_TRUE(ContextIs(before));

    ReconfigureRequest reconfigure{};
    std::memset(reconfigure.name, 'B', sizeof reconfigure.name);
    reconfigure.timeout = 99;
    EXPECT_EQ(Run(FC_RECONFIGURE_CHANNEL, &reconfigure), RC_REFUSED);
    EXPECT_TRUE(ContextIs(before));

    EXPECT_TRUE(fake::Calls().empty());
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(fake::IsOpen(context.port));

    // A disabled open never reads the name.
    open.enabled = 0;
    EXPECT_EQ(Run(FC_OPEN_CHANNEL, &open), RC_DONE);
    EXPECT_EQ(context.enabled, 0u);
}

TEST_F(ChannelTest, ElevenCharacterNamesFit) {
    ASSERT_EQ(Open("ABCDEFGHIJK"), RC_DONE);
    EXPECT_EQ(fake::Calls()[0].name, "ABCDEFGHIJK");
    EXPECT_STREQ(context.config.name, "ABCDEFGHIJK");
}

TEST_F(ChannelTest, OpenOverAHeldPortClosesTheOneItReplaces) {
    ASSERT_EQ(Open("ttyS0"), RC_DONE);
    const PortHandle first = context.port;
    ASSERT_EQ(Open("ttyS1"), RC_DONE);
    EXPECT_NE(context.port, first);
    EXPECT_FALSE(fake::IsOpen(first));
    EXPECT_EQ(fake::OpenPorts(), 1u);
    // The old port is closed only once the new one is open.
    const auto sequence = fake::CallSequence();
    ASSERT_FALSE(sequence.empty());
    EXPECT_EQ(std::count(sequence.begin(), sequence.end(), Call::Close), 1);
}

TEST_F(ChannelTest, AStaleHandleEqualToTheNewPortIsNotClosed) {
    // The platform may hand out a dead handle's value again; closing the
    // "replaced" port would then close the one just opened.
    for (int32_t code : {FC_OPEN_CHANNEL, FC_REOPEN_CHANNEL, FC_RECONFIGURE_CHANNEL}) {
        SCOPED_TRACE(code);
        fake::Reset();
        std::memset(&context, 0, sizeof context);
        std::strcpy(context.config.name, "ttyS0");
        context.config.flags = 8;          // DTR and RTS held off
        context.port = fake::NextHandle(); // not open: a stale value
        const int32_t result = code == FC_OPEN_CHANNEL     ? Open("ttyS0")
                               : code == FC_REOPEN_CHANNEL ? Run(FC_REOPEN_CHANNEL)
                                                           : Reconfigure("ttyS0", 0);
        ASSERT_EQ(result, RC_DONE);
        EXPECT_EQ(context.port, fake::LastOpened());
        EXPECT_TRUE(fake::IsOpen(context.port));
        EXPECT_EQ(fake::CountCalls(Call::Close), 0u);
    }
}

TEST_F(ChannelTest, OpenOfTheSameHeldPortStillFails) {
    ASSERT_EQ(Open("ttyS0", 40), RC_DONE);
    const DriverContext before = context;
    EXPECT_EQ(Open("ttyS0", 80), RC_FAILED);
    EXPECT_TRUE(ContextIs(before));
    EXPECT_TRUE(fake::IsOpen(context.port));
    EXPECT_EQ(log.size(), 1u);
}

// --- PurgeInput ------------------------------------------------------------------------

TEST_F(ChannelTest, PurgeWorksOnTheHeldPortOnly) {
    EXPECT_EQ(Run(FC_PURGE_INPUT), RC_DONE);
    EXPECT_TRUE(fake::Calls().empty());

    ASSERT_EQ(Open("ttyS0"), RC_DONE);
    fake::QueueInput("junk");
    fake::FailAlways(Call::Read);
    EXPECT_EQ(Run(FC_PURGE_INPUT), RC_DONE);
    fake::FailAlways(Call::Read, false);
    EXPECT_EQ(Run(FC_PURGE_INPUT), RC_DONE);
    EXPECT_EQ(fake::PendingInput(), 0u);
}

// --- CloseChannel ------------------------------------------------------------------------

TEST_F(ChannelTest, CloseOfAZeroFilledContextIsDone) {
    const DriverContext before = context;
    EXPECT_EQ(Run(FC_CLOSE_CHANNEL), RC_DONE);
    EXPECT_EQ(Run(FC_CLOSE_CHANNEL_ALT), RC_DONE);
    EXPECT_TRUE(ContextIs(before));
    EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(ChannelTest, BothCloseCodesCloseAndKeepTheRest) {
    for (int32_t code : {FC_CLOSE_CHANNEL, FC_CLOSE_CHANNEL_ALT}) {
        SCOPED_TRACE(code);
        ASSERT_EQ(Open("ttyS0", 40), RC_DONE);
        const PortHandle port = context.port;
        DriverContext expected = context;
        expected.port = 0;
        EXPECT_EQ(Run(code), RC_DONE);
        EXPECT_TRUE(ContextIs(expected));
        EXPECT_FALSE(fake::IsOpen(port));
    }
}

TEST_F(ChannelTest, FailedCloseKeepsTheHandleForAnotherTry) {
    ASSERT_EQ(Open("ttyS0"), RC_DONE);
    const PortHandle port = context.port;
    fake::FailNext(Call::Close);
    EXPECT_EQ(Run(FC_CLOSE_CHANNEL), RC_FAILED);
    EXPECT_EQ(context.port, port);
    EXPECT_EQ(Run(FC_CLOSE_CHANNEL), RC_DONE);
    EXPECT_EQ(context.port, 0u);
}

// --- ReopenChannel -------------------------------------------------------------------------

TEST_F(ChannelTest, ReopenUsesTheStoredConfigAndTheOpeningTimeout) {
    ASSERT_EQ(Open("ttyS0", 40, 0), RC_DONE);     // disabled: nothing stored but the flag
    EXPECT_EQ(Run(FC_REOPEN_CHANNEL), RC_FAILED); // the zero name opens nothing

    ASSERT_EQ(Open("ttyS0", 40, 1, {4800, 7, 0, 1}), RC_DONE);
    ASSERT_EQ(Run(FC_CLOSE_CHANNEL), RC_DONE);
    context.enabled = 0;
    fake::ClearCalls();
    ASSERT_EQ(Run(FC_REOPEN_CHANNEL), RC_DONE);
    EXPECT_EQ(context.enabled, 1u);
    EXPECT_EQ(context.port, fake::LastOpened());
    EXPECT_EQ(fake::Calls()[0].name, "ttyS0");
    EXPECT_EQ(fake::LineState().baudRate, 4800u);
    EXPECT_EQ(fake::LineState().byteSize, 7);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 1000u);
    EXPECT_EQ(context.timeoutTicks, 40u);
    EXPECT_TRUE(log.empty());
}

TEST_F(ChannelTest, FailedReopenChangesNothingAndLogsNothing) {
    ASSERT_EQ(Open("ttyS0"), RC_DONE);
    ASSERT_EQ(Run(FC_CLOSE_CHANNEL), RC_DONE);
    context.enabled = 0;
    const DriverContext before = context;
    fake::FailNext(Call::SetState);
    EXPECT_EQ(Run(FC_REOPEN_CHANNEL), RC_FAILED);
    EXPECT_TRUE(ContextIs(before));
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(fake::OpenPorts(), 0u);
}

TEST_F(ChannelTest, ReopenOverAHeldPortClosesTheOneItReplaces) {
    ASSERT_EQ(Open("ttyS0"), RC_DONE);
    const PortHandle first = context.port;
    // While the stored name still names the held port, the reopen fails.
    EXPECT_EQ(Run(FC_REOPEN_CHANNEL), RC_FAILED);
    EXPECT_EQ(context.port, first);
    EXPECT_TRUE(fake::IsOpen(first));
    std::strcpy(context.config.name, "ttyS1");
    ASSERT_EQ(Run(FC_REOPEN_CHANNEL), RC_DONE);
    EXPECT_NE(context.port, first);
    EXPECT_FALSE(fake::IsOpen(first));
    EXPECT_EQ(fake::OpenPorts(), 1u);
}

TEST_F(ChannelTest, ReopenNeverReadsPastAnUnterminatedStoredName) {
    std::memset(context.config.name, 'C', sizeof context.config.name);
    EXPECT_EQ(Run(FC_REOPEN_CHANNEL), RC_FAILED);
    EXPECT_TRUE(fake::Calls().empty());
}

// --- ReconfigureChannel ------------------------------------------------------------------------

TEST_F(ChannelTest, ReconfigureToAnotherNameClosesTheOldPortFirst) {
    ASSERT_EQ(Open("ttyS0", 40, 1), RC_DONE);
    const PortHandle first = context.port;
    context.enabled = 6;
    fake::ClearCalls();
    ASSERT_EQ(Reconfigure("ttyS1", 25), RC_DONE);
    EXPECT_EQ(fake::CallSequence()[0], Call::Close);
    EXPECT_EQ(fake::Calls()[0].port, first);
    EXPECT_EQ(fake::Calls()[1].call, Call::Open);
    EXPECT_EQ(fake::Calls()[1].name, "ttyS1");
    EXPECT_EQ(context.port, fake::LastOpened());
    EXPECT_STREQ(context.config.name, "ttyS1");
    EXPECT_EQ(context.config.settings.baud, 9600);
    EXPECT_EQ(context.config.flags, 8);
    EXPECT_EQ(context.timeoutTicks, 25u);
    EXPECT_EQ(context.enabled, 6u);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 1000u);
}

TEST_F(ChannelTest, ReconfigureWithTheSameNameFailsAndKeepsTheOldPort) {
    ASSERT_EQ(Open("ttyS0", 40), RC_DONE);
    const PortHandle first = context.port;
    EXPECT_EQ(Reconfigure("ttyS0", 0), RC_FAILED);
    EXPECT_EQ(fake::CountCalls(Call::Close), 0u);
    EXPECT_EQ(context.port, first);
    EXPECT_TRUE(fake::IsOpen(first));
    // The time-out 0 keeps the recorded one; the new settings wait for a reopen.
    EXPECT_EQ(context.timeoutTicks, 40u);
    EXPECT_EQ(context.config.settings.baud, 9600);
    EXPECT_EQ(fake::LineState(first).baudRate, 2400u);
    EXPECT_TRUE(log.empty());
}

TEST_F(ChannelTest, ReconfigureOnAClosedChannelOpensSilentlyOrFails) {
    EXPECT_EQ(Reconfigure("COM2", 0), RC_DONE);
    EXPECT_EQ(context.timeoutTicks, 0u);
    EXPECT_EQ(context.config.flags, 0); // never opened by OpenChannel: flags as stored
    ASSERT_EQ(Run(FC_CLOSE_CHANNEL), RC_DONE);

    fake::SetMissing("COM3");
    EXPECT_EQ(Reconfigure("COM3", 12), RC_FAILED);
    EXPECT_EQ(context.port, 0u);
    EXPECT_EQ(context.timeoutTicks, 12u);
    EXPECT_STREQ(context.config.name, "COM3");
    EXPECT_TRUE(log.empty());
}

TEST_F(ChannelTest, ReconfigureAfterAFailedCloseClosesTheReplacedPort) {
    ASSERT_EQ(Open("ttyS0"), RC_DONE);
    const PortHandle first = context.port;
    fake::FailNext(Call::Close);
    ASSERT_EQ(Reconfigure("ttyS1", 0), RC_DONE);
    EXPECT_NE(context.port, first);
    EXPECT_FALSE(fake::IsOpen(first));
    EXPECT_EQ(fake::OpenPorts(), 1u);
}

} // namespace
