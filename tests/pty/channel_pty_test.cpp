// The channel lifecycle through XolMain over the Linux port layer and real
// pseudo-terminals.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <xolest/keldor.h>
#include <xolest/xolest.h>

#include "pty.h"
#include "serial/serial.h"
#include "support/driver_call.h"

namespace {

using namespace xol;
using Clock = std::chrono::steady_clock;

constexpr PortSettings SETTINGS{2400, 8, 0, 2};

void CaptureLog(int, const char* text, void* user) {
    static_cast<std::vector<std::string>*>(user)->push_back(text);
}

class ChannelPtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(first.ok()) << first.error();
        ASSERT_TRUE(second.ok()) << second.error();
        std::memset(&context, 0, sizeof context);
        KeldorSetSink(CaptureLog, &log);
    }
    void TearDown() override {
        if (context.port != 0) {
            EXPECT_EQ(Run(FC_CLOSE_CHANNEL), RC_DONE);
        }
        KeldorSetSink(nullptr, nullptr);
    }
    int32_t Run(int32_t function, void* params = nullptr) {
        return xoltest::CallDriver(&context, function, params);
    }
    int32_t Open(const std::string& name, uint32_t timeout) {
        OpenRequest open{};
        std::strncpy(open.name, name.c_str(), sizeof open.name - 1);
        open.enabled = 1;
        open.timeout = timeout;
        open.settings = SETTINGS;
        return Run(FC_OPEN_CHANNEL, &open);
    }
    int32_t Reconfigure(const std::string& name, uint32_t timeout) {
        ReconfigureRequest reconfigure{};
        std::strncpy(reconfigure.name, name.c_str(), sizeof reconfigure.name - 1);
        reconfigure.timeout = timeout;
        reconfigure.settings = SETTINGS;
        return Run(FC_RECONFIGURE_CHANNEL, &reconfigure);
    }
    // How long the channel's port waits for a byte that never comes.
    long TimedEmptyRead() {
        char byte = 0;
        const auto start = Clock::now();
        EXPECT_EQ(SerialReadExact(context.port, &byte, 1, nullptr), SERIAL_IO_FAILED);
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    }
    // True when nobody holds the pseudo-terminal: it opens (and is let go again).
    static bool IsFree(const xolsim::PtyPair& pty) {
        PortHandle probe = 0;
        if (SerialOpen(pty.portName().c_str(), SETTINGS, 8, &probe) != SERIAL_OK) {
            return false;
        }
        EXPECT_EQ(SerialClose(probe), SERIAL_OK);
        return true;
    }
    // True when bytes written on the channel's port come out at this end.
    bool Carries(xolsim::PtyPair& pty) {
        return SerialWriteExact(context.port, "@S\r", 3, nullptr) == SERIAL_OK &&
               pty.receive(3) == "@S\r";
    }

    xolsim::PtyPair first;
    xolsim::PtyPair second;
    DriverContext context;
    std::vector<std::string> log;
};

TEST_F(ChannelPtyTest, OpenRunsTheHostTimeout) {
    ASSERT_EQ(Open(first.portName(), 25), RC_DONE);
    EXPECT_EQ(context.timeoutTicks, 25u);
    const long waited = TimedEmptyRead();
    EXPECT_GE(waited, 245);
    EXPECT_LT(waited, 900);
    EXPECT_TRUE(Carries(first));
}

TEST_F(ChannelPtyTest, ReopenRunsTheOpeningTimeoutWhateverTheHostGave) {
    ASSERT_EQ(Open(first.portName(), 25), RC_DONE);
    ASSERT_EQ(Run(FC_CLOSE_CHANNEL), RC_DONE);
    EXPECT_TRUE(IsFree(first));
    ASSERT_EQ(Run(FC_REOPEN_CHANNEL), RC_DONE);
    EXPECT_EQ(context.timeoutTicks, 25u);
    const long waited = TimedEmptyRead();
    EXPECT_GE(waited, 990);
    EXPECT_LT(waited, 3000);
}

TEST_F(ChannelPtyTest, SecondOpenOfTheHeldPortFailsAndIsLogged) {
    ASSERT_EQ(Open(first.portName(), 25), RC_DONE);
    const uint32_t held = context.port;
    EXPECT_EQ(Open(first.portName(), 50), RC_FAILED);
    EXPECT_EQ(context.port, held);
    EXPECT_EQ(context.timeoutTicks, 25u);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "XOLEST : Fail to open " + first.portName());
    EXPECT_TRUE(Carries(first));
}

TEST_F(ChannelPtyTest, OpenOfAnotherPortLetsTheReplacedOneGo) {
    ASSERT_EQ(Open(first.portName(), 25), RC_DONE);
    ASSERT_EQ(Open(second.portName(), 25), RC_DONE);
    EXPECT_TRUE(IsFree(first));
    EXPECT_TRUE(Carries(second));
}

TEST_F(ChannelPtyTest, RefusedParityIsLoggedAndTheSamePortOpensNext) {
    OpenRequest open{};
    std::strncpy(open.name, first.portName().c_str(), sizeof open.name - 1);
    open.enabled = 1;
    open.timeout = 25;
    open.settings = {2400, 8, 0, 7};
    EXPECT_EQ(Run(FC_OPEN_CHANNEL, &open), RC_FAILED);
    EXPECT_EQ(context.port, 0u);
    EXPECT_EQ(log.size(), 1u);
    open.settings = SETTINGS;
    EXPECT_EQ(Run(FC_OPEN_CHANNEL, &open), RC_DONE);
}

TEST_F(ChannelPtyTest, NulOpensAndCloses) {
    ASSERT_EQ(Open("NUL", 25), RC_DONE);
    EXPECT_NE(context.port, 0u);
    EXPECT_EQ(Run(FC_PURGE_INPUT), RC_DONE);
    EXPECT_EQ(Run(FC_CLOSE_CHANNEL), RC_DONE);
    EXPECT_EQ(context.port, 0u);
}

TEST_F(ChannelPtyTest, ReconfigureWithTheSameNameFailsWhileTheOldPortWorksOn) {
    ASSERT_EQ(Open(first.portName(), 25), RC_DONE);
    const uint32_t held = context.port;
    EXPECT_EQ(Reconfigure(first.portName(), 0), RC_FAILED);
    EXPECT_EQ(context.port, held);
    EXPECT_EQ(context.timeoutTicks, 25u); // time-out 0 keeps the recorded one
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(Carries(first));
    // It still runs the host's time-out, untouched by the failed open.
    const long waited = TimedEmptyRead();
    EXPECT_GE(waited, 245);
    EXPECT_LT(waited, 900);
}

TEST_F(ChannelPtyTest, ReconfigureToAnotherNameMovesTheChannel) {
    ASSERT_EQ(Open(first.portName(), 25), RC_DONE);
    ASSERT_EQ(Reconfigure(second.portName(), 60), RC_DONE);
    EXPECT_EQ(context.timeoutTicks, 60u);
    EXPECT_STREQ(context.config.name, second.portName().c_str());
    EXPECT_TRUE(IsFree(first));
    EXPECT_TRUE(Carries(second));
    const long waited = TimedEmptyRead();
    EXPECT_GE(waited, 990);
    EXPECT_LT(waited, 3000);
}

TEST_F(ChannelPtyTest, PurgeEmptiesTheInput) {
    ASSERT_EQ(Open(first.portName(), 25), RC_DONE);
    ASSERT_TRUE(first.send("stale bytes"));
    uint32_t waiting = 0;
    for (int i = 0; i < 1000 && waiting < 11; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(PortInputWaiting(context.port, &waiting));
    }
    EXPECT_EQ(Run(FC_PURGE_INPUT), RC_DONE);
    ASSERT_TRUE(PortInputWaiting(context.port, &waiting));
    EXPECT_EQ(waiting, 0u);
}

TEST_F(ChannelPtyTest, CloseOfAZeroFilledContextIsDone) {
    EXPECT_EQ(Run(FC_CLOSE_CHANNEL), RC_DONE);
    EXPECT_EQ(Run(FC_CLOSE_CHANNEL_ALT), RC_DONE);
    DriverContext zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&context, &zero, sizeof zero), 0);
}

} // namespace
