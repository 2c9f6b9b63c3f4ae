// The serial module over the Linux port layer and real pseudo-terminals.
// These run as root and as an ordinary user: the exclusive-open rules differ.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "pty.h"
#include "serial/serial.h"
#include "support/pty_line.h"

namespace {

using namespace xol;
using Clock = std::chrono::steady_clock;

constexpr PortSettings SETTINGS{2400, 8, 0, 2};

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class SerialPtyTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.ok()) << pty.error(); }
    void TearDown() override {
        if (port != 0) {
            EXPECT_EQ(SerialClose(port), SERIAL_OK);
        }
    }
    SerialStatus Open(const PortSettings& settings = SETTINGS, uint16_t flags = 8) {
        return SerialOpen(pty.portName().c_str(), settings, flags, &port);
    }
    // Waits until the driver's side has count bytes waiting.
    bool WaitForInput(uint32_t count) {
        const auto start = Clock::now();
        uint32_t waiting = 0;
        while (ElapsedMs(start) < 2000) {
            if (PortInputWaiting(port, &waiting) && waiting >= count) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    // A read of one byte that nothing answers: how long the port waits.
    long TimedEmptyRead() {
        char byte = 0;
        const auto start = Clock::now();
        EXPECT_EQ(SerialReadExact(port, &byte, 1, nullptr), SERIAL_IO_FAILED);
        return ElapsedMs(start);
    }

    xolsim::PtyPair pty;
    PortHandle port = 0;
};

// --- opening ------------------------------------------------------------------------

TEST_F(SerialPtyTest, OpenedPortWaits1000msForAReply) {
    ASSERT_EQ(Open(), SERIAL_OK);
    EXPECT_NE(port, 0u);
    const long waited = TimedEmptyRead();
    EXPECT_GE(waited, 990);
    EXPECT_LT(waited, 3000);
}

TEST_F(SerialPtyTest, NamesOpenUnderDevOrAsAbsolutePaths) {
    ASSERT_EQ(Open(), SERIAL_OK);
    ASSERT_EQ(SerialClose(port), SERIAL_OK);
    port = 0;
    ASSERT_EQ(SerialOpen(pty.slavePath().c_str(), SETTINGS, 8, &port), SERIAL_OK);
    PortHandle missing = 0;
    EXPECT_EQ(SerialOpen("xolNoTty", SETTINGS, 8, &missing), SERIAL_OPEN_FAILED);
    EXPECT_EQ(SerialOpen("", SETTINGS, 8, &missing), SERIAL_OPEN_FAILED);
    EXPECT_EQ(missing, 0u);
}

TEST_F(SerialPtyTest, SecondOpenOfAHeldPortIsRefused) {
    ASSERT_EQ(Open(), SERIAL_OK);
    PortHandle second = 0;
    EXPECT_EQ(SerialOpen(pty.portName().c_str(), SETTINGS, 8, &second), SERIAL_OPEN_FAILED);
    EXPECT_EQ(SerialOpen(pty.slavePath().c_str(), SETTINGS, 8, &second), SERIAL_OPEN_FAILED);
    // The loser left the holder's exclusivity alone: the first port still works.
    ASSERT_TRUE(pty.send("ok"));
    char buffer[2];
    EXPECT_EQ(SerialReadExact(port, buffer, 2, nullptr), SERIAL_OK);
}

TEST_F(SerialPtyTest, CloseReleasesThePortWhileOthersKeepItOpen) {
    // The fixture keeps its own slave descriptor open throughout.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(Open(), SERIAL_OK);
        ASSERT_EQ(SerialClose(port), SERIAL_OK);
        port = 0;
    }
    // And another program can open it again.
    const int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    if (fd >= 0) {
        close(fd);
    }
}

TEST_F(SerialPtyTest, AChildProcessDoesNotKeepThePortLocked) {
    ASSERT_EQ(Open(), SERIAL_OK);
    // The pipe closes when the child has run another program.
    int execed[2];
    ASSERT_EQ(pipe2(execed, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl("/bin/sleep", "sleep", "5", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(execed[1]);
    char byte = 0;
    while (read(execed[0], &byte, 1) > 0) {
    }
    close(execed[0]);
    ASSERT_EQ(SerialClose(port), SERIAL_OK);
    port = 0;
    EXPECT_EQ(Open(), SERIAL_OK);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

TEST_F(SerialPtyTest, NulOpensTheNullDeviceUnconfigured) {
    ASSERT_EQ(SerialOpen("NUL", SETTINGS, 8, &port), SERIAL_OK);
    EXPECT_NE(port, 0u);
    // It takes no time-outs, but writes vanish and reads find nothing.
    EXPECT_EQ(SerialSetReadTimeout(port, 100), 0u);
    EXPECT_EQ(SerialWriteExact(port, "@S\r", 3, nullptr), SERIAL_OK);
    EXPECT_LT(TimedEmptyRead(), 500);
    EXPECT_EQ(SerialPurgeInput(port), 0);
    // Every process shares the null device: it is not held exclusively.
    PortHandle second = 0;
    ASSERT_EQ(SerialOpen("NUL", SETTINGS, 8, &second), SERIAL_OK);
    EXPECT_EQ(SerialClose(second), SERIAL_OK);
    // Any other spelling is a port name under /dev.
    EXPECT_EQ(SerialOpen("nul", SETTINGS, 8, &second), SERIAL_OPEN_FAILED);
}

// --- line settings --------------------------------------------------------------------

TEST_F(SerialPtyTest, SettingsTheLineCannotTakeCloseThePort) {
    struct Case {
        const char* what;
        PortSettings settings;
        uint16_t flags;
    };
    const Case cases[] = {
        {"parity code 5", {2400, 8, 0, 5}, 8},   {"4 data bits", {2400, 4, 0, 2}, 8},
        {"9 data bits", {2400, 9, 0, 2}, 8},     {"one and a half stop bits", {2400, 8, 1, 2}, 8},
        {"stop-bit code 3", {2400, 8, 3, 2}, 8}, {"bit rate 0", {0, 8, 0, 2}, 8},
        {"DTR handshake", SETTINGS, 0x8000},     {"RTS handshake", SETTINGS, 0x1000},
        {"RTS toggle", SETTINGS, 0x2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Open(c.settings, c.flags), SERIAL_SET_STATE_FAILED);
        EXPECT_EQ(port, 0u);
        // Closed again: the same port opens at once.
        ASSERT_EQ(Open(), SERIAL_OK);
        ASSERT_EQ(SerialClose(port), SERIAL_OK);
        port = 0;
    }
}

TEST_F(SerialPtyTest, EveryLineTheLayerCanDescribeIsAccepted) {
    struct Case {
        PortSettings settings;
        uint16_t flags;
    };
    const Case cases[] = {
        {{1234, 8, 0, 0}, 8},
        {{65535, 7, 2, 1}, 8},
        {{300, 5, 0, 3}, 8},
        {{9600, 6, 2, 4}, 8},
        {{2400, 8, 0, 2}, 0x0303},
        {{115, 8, 0, 2}, 0x0101},
        // Only the low byte of the three small words counts.
        {{19200, 0x0108, 0x0200, 0x0302}, 8},
    };
    // Twice over the same pseudo-terminal: it keeps 8 data bits and no parity
    // whatever it is told, and that must not make the second open fail.
    for (int round = 0; round < 2; ++round) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.settings.baud);
            ASSERT_EQ(Open(c.settings, c.flags), SERIAL_OK);
            const xoltest::LineReadback line = xoltest::ReadLine(pty.slave());
            ASSERT_TRUE(line.ok);
            EXPECT_EQ(line.outputRate, c.settings.baud);
            EXPECT_EQ(line.twoStopBits, (c.settings.stopBits & 0xFF) == 2);
            ASSERT_EQ(SerialClose(port), SERIAL_OK);
            port = 0;
        }
    }
}

TEST_F(SerialPtyTest, TheLineIsRawAndErrorBytesAreNotMarkedOrDropped) {
    ASSERT_EQ(Open(), SERIAL_OK);
    const xoltest::LineReadback line = xoltest::ReadLine(pty.slave());
    ASSERT_TRUE(line.ok);
    EXPECT_FALSE(line.canonical);
    EXPECT_FALSE(line.echo);
    EXPECT_FALSE(line.outputProcessing);
    EXPECT_FALSE(line.crToNl);
    EXPECT_FALSE(line.parityMarking);
    EXPECT_FALSE(line.ignoreParityErrors);
    EXPECT_FALSE(line.checkParity);
    EXPECT_TRUE(line.local);

    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) {
        all[static_cast<size_t>(i)] = static_cast<char>(i);
    }
    ASSERT_TRUE(pty.send(all));
    std::string in(256, '\0');
    ASSERT_EQ(SerialReadExact(port, in.data(), 256, nullptr), SERIAL_OK);
    EXPECT_EQ(in, all);
    ASSERT_EQ(SerialWriteExact(port, all.data(), 256, nullptr), SERIAL_OK);
    EXPECT_EQ(pty.receive(256), all);
}

// --- time-outs and purge -------------------------------------------------------------

TEST_F(SerialPtyTest, ANewReadTimeoutTakesEffect) {
    ASSERT_EQ(Open(), SERIAL_OK);
    EXPECT_EQ(SerialSetReadTimeout(port, 20), 100u);
    const long waited = TimedEmptyRead();
    EXPECT_GE(waited, 195);
    EXPECT_LT(waited, 900);
    EXPECT_EQ(SerialSetReadTimeout(port, 20), 20u);
}

TEST_F(SerialPtyTest, PurgeWaits50msDrainsAndRestoresTheTimeout) {
    ASSERT_EQ(Open(), SERIAL_OK);
    (void)SerialSetReadTimeout(port, 30);
    ASSERT_TRUE(pty.send(std::string(1300, 'x')));
    ASSERT_TRUE(WaitForInput(1300));

    const auto start = Clock::now();
    EXPECT_EQ(SerialPurgeInput(port), 0);
    const long purged = ElapsedMs(start);
    EXPECT_GE(purged, 49);
    EXPECT_LT(purged, 900);
    uint32_t waiting = 99;
    ASSERT_TRUE(PortInputWaiting(port, &waiting));
    EXPECT_EQ(waiting, 0u);

    const long waited = TimedEmptyRead();
    EXPECT_GE(waited, 295);
    EXPECT_LT(waited, 1500);
}

TEST_F(SerialPtyTest, PurgeAfterAZeroTimeoutLeaves50ms) {
    ASSERT_EQ(Open(), SERIAL_OK);
    (void)SerialSetReadTimeout(port, 0);
    ASSERT_TRUE(pty.send("junk"));
    ASSERT_TRUE(WaitForInput(4));
    EXPECT_EQ(SerialPurgeInput(port), 0);
    const long waited = TimedEmptyRead();
    EXPECT_GE(waited, 49);
    EXPECT_LT(waited, 900);
}

void OnAlarm(int) {}

TEST_F(SerialPtyTest, ASignalDoesNotCutAReadShort) {
    ASSERT_EQ(Open(), SERIAL_OK);
    (void)SerialSetReadTimeout(port, 40);
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = OnAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no restart: the wait really is interrupted
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 100000;
    timer.it_interval.tv_usec = 100000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    const long waited = TimedEmptyRead();
    timer = itimerval{};
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(waited, 395);
    EXPECT_LT(waited, 1500);
}

// --- reading and writing ------------------------------------------------------------------

TEST_F(SerialPtyTest, ReadGathersPiecesAndLeavesTheRestQueued) {
    ASSERT_EQ(Open(), SERIAL_OK);
    std::thread farEnd([this] {
        pty.send("AB");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        pty.send("CDEFGHIJKLMN");
    });
    char buffer[14] = {};
    uint32_t received = 0;
    EXPECT_EQ(SerialReadExact(port, buffer, 14, &received), SERIAL_OK);
    farEnd.join();
    EXPECT_EQ(received, 14u);
    EXPECT_EQ(std::string(buffer, 14), "ABCDEFGHIJKLMN");

    ASSERT_TRUE(pty.send("0123456789ABCD"));
    ASSERT_TRUE(WaitForInput(14));
    EXPECT_EQ(SerialReadExact(port, buffer, 2, &received), SERIAL_OK);
    EXPECT_EQ(std::string(buffer, 2), "01");
    uint32_t waiting = 0;
    ASSERT_TRUE(PortInputWaiting(port, &waiting));
    EXPECT_EQ(waiting, 12u);
    EXPECT_EQ(SerialReadExact(port, buffer, 12, &received), SERIAL_OK);
    EXPECT_EQ(std::string(buffer, 12), "23456789ABCD");
}

TEST_F(SerialPtyTest, BytesReadAheadStayWithTheirPort) {
    // Two bytes asked of a 14-byte reply: the other twelve are counted as
    // waiting, go with a purge, and never reach a port opened after a close.
    xolsim::PtyPair other;
    ASSERT_TRUE(other.ok()) << other.error();
    ASSERT_EQ(Open(), SERIAL_OK);
    char buffer[14] = {};
    uint32_t waiting = 0;
    for (bool purge : {true, false}) {
        ASSERT_TRUE(pty.send("0123456789ABCD"));
        ASSERT_TRUE(WaitForInput(14));
        ASSERT_EQ(SerialReadExact(port, buffer, 2, nullptr), SERIAL_OK);
        EXPECT_EQ(std::string(buffer, 2), "01");
        ASSERT_TRUE(PortInputWaiting(port, &waiting));
        EXPECT_EQ(waiting, 12u);
        if (purge) {
            EXPECT_EQ(SerialPurgeInput(port), 0);
            ASSERT_TRUE(PortInputWaiting(port, &waiting));
            EXPECT_EQ(waiting, 0u);
        }
    }
    ASSERT_EQ(SerialClose(port), SERIAL_OK);
    port = 0;
    // The slot just freed takes the next port.
    ASSERT_EQ(SerialOpen(other.portName().c_str(), SETTINGS, 8, &port), SERIAL_OK);
    ASSERT_TRUE(PortInputWaiting(port, &waiting));
    EXPECT_EQ(waiting, 0u);
    ASSERT_TRUE(other.send("Z"));
    EXPECT_EQ(SerialReadExact(port, buffer, 1, nullptr), SERIAL_OK);
    EXPECT_EQ(buffer[0], 'Z');
}

TEST_F(SerialPtyTest, OnlyTheFirstPieceArrives) {
    ASSERT_EQ(Open(), SERIAL_OK);
    (void)SerialSetReadTimeout(port, 20);
    ASSERT_TRUE(pty.send("AB"));
    char buffer[14] = {};
    uint32_t received = 99;
    EXPECT_EQ(SerialReadExact(port, buffer, 14, &received), SERIAL_IO_FAILED);
    EXPECT_EQ(received, 2u);
}

TEST_F(SerialPtyTest, AFarEndThatHangsUpFailsReadsAndWritesAtOnce) {
    ASSERT_EQ(Open(), SERIAL_OK);
    pty.closeMaster();
    const long waited = TimedEmptyRead();
    EXPECT_LT(waited, 500);
    EXPECT_EQ(SerialWriteExact(port, "@S\r", 3, nullptr), SERIAL_IO_FAILED);
}

TEST_F(SerialPtyTest, BreakAndDelayReturnAfterTheirTime) {
    ASSERT_EQ(Open(), SERIAL_OK);
    auto start = Clock::now();
    EXPECT_EQ(SerialSendBreak(60, port), 0);
    EXPECT_GE(ElapsedMs(start), 59);
    start = Clock::now();
    EXPECT_EQ(SerialDelay(30), 0);
    EXPECT_GE(ElapsedMs(start), 29);
}

} // namespace
