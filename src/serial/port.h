// The port layer: the one place where the platform shows. One source file
// per platform (port_win32.cpp, port_posix.cpp) and a scripted fake for unit
// tests; the build links exactly one of them.
#pragma once

#include <cstdint>

namespace xol {

// A port as the driver keeps it in the context's 32-bit port slot. 0 is
// never an open port.
using PortHandle = uint32_t;

// DTR and RTS settings, numbered as the Win32 DCB numbers them.
enum PortDtr : uint8_t { PORT_DTR_DISABLE = 0, PORT_DTR_ENABLE = 1, PORT_DTR_HANDSHAKE = 2 };
enum PortRts : uint8_t {
    PORT_RTS_DISABLE = 0,
    PORT_RTS_ENABLE = 1,
    PORT_RTS_HANDSHAKE = 2,
    PORT_RTS_TOGGLE = 3,
};

// The line state as the serial module reads and changes it. The named fields
// are those the module sets; platformState carries whatever else the
// platform reported (the whole DCB on Win32) so that a set writes back every
// other field as it was read.
struct PortLineState {
    uint32_t baudRate;
    uint8_t byteSize;
    uint8_t parity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits; // 0 one, 1 one and a half, 2 two
    bool binary;
    bool parityCheck;
    bool outxCtsFlow;
    bool outxDsrFlow;
    PortDtr dtrControl;
    bool dsrSensitivity;
    bool outX;
    bool inX;
    bool errorCharReplace;
    bool discardNull;
    PortRts rtsControl;
    bool abortOnError;
    uint8_t errorChar;
    alignas(4) unsigned char platformState[28];
};

// The time-out record, member for member as Win32 COMMTIMEOUTS (milliseconds).
struct PortTimeouts {
    uint32_t readIntervalTimeout;
    uint32_t readTotalTimeoutMultiplier;
    uint32_t readTotalTimeoutConstant;
    uint32_t writeTotalTimeoutMultiplier;
    uint32_t writeTotalTimeoutConstant;
};

// Every call answers true on success. A failed open leaves *port at 0.
bool PortOpen(const char* name, PortHandle* port);
bool PortClose(PortHandle port);
bool PortGetState(PortHandle port, PortLineState* state);
// False when the port refuses the state, including a setting this platform
// cannot give the line: refused, never approximated.
bool PortSetState(PortHandle port, const PortLineState& state);
// One total time-out per read (readTotalTimeoutConstant plus the multiplier
// per byte asked; all 0: no limit).
bool PortGetTimeouts(PortHandle port, PortTimeouts* timeouts);
bool PortSetTimeouts(PortHandle port, const PortTimeouts& timeouts);
bool PortSetQueues(PortHandle port, uint32_t inputBytes, uint32_t outputBytes);
// Bytes waiting in the input queue.
bool PortInputWaiting(PortHandle port, uint32_t* count);
// Waits at most the read time-out; *got may be less than count (0 on time-out).
bool PortRead(PortHandle port, void* buffer, uint32_t count, uint32_t* got);
// Blocks until handed over; *written may be less than count.
bool PortWrite(PortHandle port, const void* buffer, uint32_t count, uint32_t* written);
bool PortBreakOn(PortHandle port);
bool PortBreakOff(PortHandle port);
void PortSleep(uint32_t milliseconds);

} // namespace xol
