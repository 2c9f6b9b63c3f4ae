// The serial port module: the only code that works a serial port, through
// the port layer below it.
#pragma once

#include <cstdint>
#include <xolest/xolest.h>

#include "port.h"

namespace xol {

enum SerialStatus : int32_t {
    SERIAL_OK = 0,
    SERIAL_OPEN_FAILED = 1,
    SERIAL_SHORT_WRITE = 2,
    SERIAL_GET_STATE_FAILED = 4,
    SERIAL_SET_STATE_FAILED = 5,
    SERIAL_IO_FAILED = 7,
};

// Opens the port exclusively, sets 1000 ms read time-out, the line state
// and 1200-byte queues. The handle goes to *port at once; after a non-zero
// result it is not usable (the port was never opened, or closed again).
[[nodiscard]] SerialStatus SerialOpen(const char* name, const PortSettings& settings,
                                      uint16_t flags, PortHandle* port);
SerialStatus SerialClose(PortHandle port);
// Sets the read time-out in units of 10 ms; returns the previous one in the
// same units, or 0 when the time-outs could not be read or written.
uint32_t SerialSetReadTimeout(PortHandle port, uint32_t units);
// Discards waiting input and whatever follows it closely: 0 done, 1 a read failed.
int SerialPurgeInput(PortHandle port);
SerialStatus SerialWriteExact(PortHandle port, const void* buffer, uint32_t count,
                              uint32_t* written);
// count is 1..65535.
SerialStatus SerialReadExact(PortHandle port, void* buffer, uint32_t count, uint32_t* received);
int SerialSendBreak(uint32_t milliseconds, PortHandle port);
int SerialDelay(uint32_t milliseconds);

} // namespace xol
