// The Win32 port layer on real Windows serial ports: each port call checked
// against what the communications API itself reports for the same handle.
// COM7 and COM8 must be joined back to back (the Wine suite links two
// pseudo-terminals); COM9 must name no port.
#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <functional>
#include <vector>

#include "serial/port.h"
#include "serial/serial.h"

namespace xol {
namespace {

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

HANDLE Handle(PortHandle port) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(port));
}

DCB DeviceState(PortHandle port) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(Handle(port), &dcb));
    return dcb;
}

void ExpectNamedFieldsMatch(const PortLineState& state, const DCB& dcb) {
    EXPECT_EQ(state.baudRate, dcb.BaudRate);
    EXPECT_EQ(state.byteSize, dcb.ByteSize);
    EXPECT_EQ(state.parity, dcb.Parity);
    EXPECT_EQ(state.stopBits, dcb.StopBits);
    EXPECT_EQ(state.binary, dcb.fBinary != 0);
    EXPECT_EQ(state.parityCheck, dcb.fParity != 0);
    EXPECT_EQ(state.outxCtsFlow, dcb.fOutxCtsFlow != 0);
    EXPECT_EQ(state.outxDsrFlow, dcb.fOutxDsrFlow != 0);
    EXPECT_EQ(state.dtrControl, dcb.fDtrControl);
    EXPECT_EQ(state.dsrSensitivity, dcb.fDsrSensitivity != 0);
    EXPECT_EQ(state.outX, dcb.fOutX != 0);
    EXPECT_EQ(state.inX, dcb.fInX != 0);
    EXPECT_EQ(state.errorCharReplace, dcb.fErrorChar != 0);
    EXPECT_EQ(state.discardNull, dcb.fNull != 0);
    EXPECT_EQ(state.rtsControl, dcb.fRtsControl);
    EXPECT_EQ(state.abortOnError, dcb.fAbortOnError != 0);
    EXPECT_EQ(state.errorChar, static_cast<uint8_t>(dcb.ErrorChar));
}

// Parity stays "none" wherever the test is not about parity: on a
// pseudo-terminal Wine refuses to set the same parity twice.
class ComPorts : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PortOpen("COM7", &a_)) << "COM7: error " << GetLastError();
        ASSERT_TRUE(PortOpen("COM8", &b_)) << "COM8: error " << GetLastError();
    }
    void TearDown() override {
        for (PortHandle port : {a_, b_}) {
            if (port != 0) {
                (void)PortClose(port);
            }
        }
    }
    // Raw 8N1, no flow control, as the serial module sets a line up.
    void OpenLink() {
        PortClose(a_);
        PortClose(b_);
        a_ = b_ = 0;
        const PortSettings settings{2400, 8, 0, 0};
        ASSERT_EQ(SerialOpen("COM7", settings, 8, &a_), SERIAL_OK);
        ASSERT_EQ(SerialOpen("COM8", settings, 8, &b_), SERIAL_OK);
    }

    PortHandle a_ = 0;
    PortHandle b_ = 0;
};

TEST(PortHandles, FailedOpenLeavesZero) {
    PortHandle port = 12345;
    EXPECT_FALSE(PortOpen("COM9", &port));
    EXPECT_EQ(port, 0u);
}

TEST(PortHandles, HandleIsTheWin32HandleUntilClosed) {
    PortHandle port = 0;
    ASSERT_TRUE(PortOpen("COM7", &port));
    ASSERT_NE(port, 0u);
    EXPECT_EQ(GetFileType(Handle(port)), static_cast<DWORD>(FILE_TYPE_CHAR));
    EXPECT_TRUE(PortClose(port));
    EXPECT_FALSE(PortClose(port)) << "a closed handle closes once";

    PortLineState state{};
    PortTimeouts timeouts{};
    uint32_t count = 0;
    unsigned char byte = 0;
    const std::pair<const char*, std::function<bool()>> calls[] = {
        {"GetState", [&] { return PortGetState(port, &state); }},
        {"SetState", [&] { return PortSetState(port, state); }},
        {"GetTimeouts", [&] { return PortGetTimeouts(port, &timeouts); }},
        {"SetTimeouts", [&] { return PortSetTimeouts(port, timeouts); }},
        {"SetQueues", [&] { return PortSetQueues(port, 1200, 1200); }},
        {"InputWaiting", [&] { return PortInputWaiting(port, &count); }},
        {"Read", [&] { return PortRead(port, &byte, 1, &count); }},
        {"Write", [&] { return PortWrite(port, &byte, 1, &count); }},
        {"BreakOn", [&] { return PortBreakOn(port); }},
        {"BreakOff", [&] { return PortBreakOff(port); }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_FALSE(call()) << name << " on a closed handle";
    }
}

TEST(PortHandles, NullDeviceOpensButIsNoCommPort) {
    PortHandle port = 0;
    ASSERT_TRUE(PortOpen("NUL", &port));
    PortLineState state{};
    EXPECT_FALSE(PortGetState(port, &state));
    EXPECT_FALSE(PortBreakOn(port));
    EXPECT_TRUE(PortClose(port));
}

TEST_F(ComPorts, OpenIsExclusive) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine does not enforce share mode 0 on COM ports";
    }
    PortHandle again = 1;
    EXPECT_FALSE(PortOpen("COM7", &again));
    EXPECT_EQ(again, 0u);
}

TEST_F(ComPorts, GetStateReportsTheDevice) {
    struct Row {
        DWORD baud;
        BYTE stopBits;
        bool rtsCts;
        bool outX;
        bool inX;
    };
    const Row rows[] = {
        {19200, TWOSTOPBITS, true, true, false},
        {110, ONESTOPBIT, false, false, true},
        {57600, TWOSTOPBITS, false, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.baud);
        DCB dcb = DeviceState(a_);
        dcb.BaudRate = row.baud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = row.stopBits;
        dcb.fOutxCtsFlow = row.rtsCts;
        dcb.fRtsControl = row.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        dcb.fOutX = row.outX;
        dcb.fInX = row.inX;
        ASSERT_TRUE(SetCommState(Handle(a_), &dcb));

        PortLineState state{};
        ASSERT_TRUE(PortGetState(a_, &state));
        const DCB device = DeviceState(a_);
        ExpectNamedFieldsMatch(state, device);
        EXPECT_EQ(std::memcmp(state.platformState, &device, sizeof device), 0)
            << "the whole DCB travels with the state";
    }
}

TEST_F(ComPorts, SetStateWritesTheNamedFieldsAndKeepsTheRest) {
    PortLineState state{};
    ASSERT_TRUE(PortGetState(a_, &state));
    state.baudRate = 38400;
    state.stopBits = TWOSTOPBITS;
    state.outxCtsFlow = true;
    state.outX = true;
    state.inX = false;
    // Fields the layer does not name go back as the platform state has them.
    DCB carried;
    std::memcpy(&carried, state.platformState, sizeof carried);
    carried.XonChar = 0x01;
    carried.XoffChar = 0x02;
    carried.BaudRate = 1200; // named: the state's own field wins
    std::memcpy(state.platformState, &carried, sizeof carried);
    ASSERT_TRUE(PortSetState(a_, state));

    const DCB device = DeviceState(a_);
    EXPECT_EQ(device.BaudRate, 38400u);
    EXPECT_EQ(device.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(device.fOutxCtsFlow);
    EXPECT_TRUE(device.fOutX);
    EXPECT_FALSE(device.fInX);
    EXPECT_EQ(device.XonChar, 0x01);
    EXPECT_EQ(device.XoffChar, 0x02);
}

TEST_F(ComPorts, SetStateCarriesByteSizeAndParity) {
    if (UnderWine()) {
        GTEST_SKIP() << "a pseudo-terminal keeps neither the character size nor the parity bit: "
                        "Wine reads back 8 bits, no parity";
    }
    for (const auto& [byteSize, parity] :
         {std::pair<uint8_t, uint8_t>{7, EVENPARITY}, std::pair<uint8_t, uint8_t>{8, ODDPARITY}}) {
        PortLineState state{};
        ASSERT_TRUE(PortGetState(a_, &state));
        state.byteSize = byteSize;
        state.parity = parity;
        ASSERT_TRUE(PortSetState(a_, state));
        const DCB device = DeviceState(a_);
        EXPECT_EQ(device.ByteSize, byteSize);
        EXPECT_EQ(device.Parity, parity);
    }
}

TEST_F(ComPorts, SetStateCarriesTheModemLineControls) {
    if (UnderWine()) {
        GTEST_SKIP() << "a pseudo-terminal has no modem lines: Wine reads DTR and RTS back as "
                        "enabled whatever was set";
    }
    for (const auto& [dtr, rts] : {std::pair{PORT_DTR_DISABLE, PORT_RTS_DISABLE},
                                   std::pair{PORT_DTR_ENABLE, PORT_RTS_HANDSHAKE},
                                   std::pair{PORT_DTR_HANDSHAKE, PORT_RTS_ENABLE}}) {
        PortLineState state{};
        ASSERT_TRUE(PortGetState(a_, &state));
        state.dtrControl = dtr;
        state.rtsControl = rts;
        ASSERT_TRUE(PortSetState(a_, state));
        const DCB device = DeviceState(a_);
        EXPECT_EQ(device.fDtrControl, static_cast<DWORD>(dtr));
        EXPECT_EQ(device.fRtsControl, static_cast<DWORD>(rts));
    }
}

TEST_F(ComPorts, StateThePortCannotTakeIsRefused) {
    PortLineState state{};
    ASSERT_TRUE(PortGetState(a_, &state));
    state.byteSize = 9;
    EXPECT_FALSE(PortSetState(a_, state));
}

TEST_F(ComPorts, TimeoutsTravelMemberForMember) {
    const PortTimeouts wanted{11, 22, 33, 44, 55};
    ASSERT_TRUE(PortSetTimeouts(a_, wanted));
    COMMTIMEOUTS device{};
    ASSERT_TRUE(GetCommTimeouts(Handle(a_), &device));
    EXPECT_EQ(device.ReadIntervalTimeout, 11u);
    EXPECT_EQ(device.ReadTotalTimeoutMultiplier, 22u);
    EXPECT_EQ(device.ReadTotalTimeoutConstant, 33u);
    EXPECT_EQ(device.WriteTotalTimeoutMultiplier, 44u);
    EXPECT_EQ(device.WriteTotalTimeoutConstant, 55u);

    device = {5, 4, 3, 2, 1};
    ASSERT_TRUE(SetCommTimeouts(Handle(a_), &device));
    PortTimeouts read{};
    ASSERT_TRUE(PortGetTimeouts(a_, &read));
    EXPECT_EQ(read.readIntervalTimeout, 5u);
    EXPECT_EQ(read.readTotalTimeoutMultiplier, 4u);
    EXPECT_EQ(read.readTotalTimeoutConstant, 3u);
    EXPECT_EQ(read.writeTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(read.writeTotalTimeoutConstant, 1u);
}

TEST_F(ComPorts, ReadOnAQuietLineEndsAtItsTimeout) {
    ASSERT_TRUE(PortSetTimeouts(a_, PortTimeouts{0, 0, 200, 0, 0}));
    unsigned char buffer[16];
    uint32_t got = 99;
    const DWORD start = GetTickCount();
    EXPECT_TRUE(PortRead(a_, buffer, sizeof buffer, &got));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(got, 0u);
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 2000u);
}

TEST_F(ComPorts, EveryByteValueCrossesTheLink) {
    OpenLink();
    std::vector<unsigned char> sent(256);
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<unsigned char>(i);
    }
    uint32_t written = 0;
    ASSERT_TRUE(PortWrite(a_, sent.data(), static_cast<uint32_t>(sent.size()), &written));
    EXPECT_EQ(written, sent.size());
    std::vector<unsigned char> received(sent.size());
    uint32_t got = 0;
    EXPECT_EQ(SerialReadExact(b_, received.data(), static_cast<uint32_t>(received.size()), &got),
              SERIAL_OK);
    EXPECT_EQ(got, sent.size());
    EXPECT_EQ(received, sent);
}

TEST_F(ComPorts, PurgeDiscardsWaitingInputAndKeepsTheTimeout) {
    OpenLink();
    const char text[] = "stale";
    uint32_t written = 0;
    ASSERT_TRUE(PortWrite(a_, text, 5, &written));
    uint32_t waiting = 0;
    for (int i = 0; i < 100 && waiting < 5; ++i) {
        ASSERT_TRUE(PortInputWaiting(b_, &waiting));
        Sleep(10);
    }
    EXPECT_EQ(waiting, 5u);

    EXPECT_EQ(SerialPurgeInput(b_), 0);
    ASSERT_TRUE(PortInputWaiting(b_, &waiting));
    EXPECT_EQ(waiting, 0u);
    PortTimeouts timeouts{};
    ASSERT_TRUE(PortGetTimeouts(b_, &timeouts));
    EXPECT_EQ(timeouts.readTotalTimeoutConstant, 1000u) << "the open's time-out is back";
}

TEST_F(ComPorts, BreakGoesOnAndOff) {
    EXPECT_TRUE(PortBreakOn(a_));
    EXPECT_TRUE(PortBreakOff(a_));
}

} // namespace
} // namespace xol
