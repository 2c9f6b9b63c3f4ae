// A line's settings as the kernel holds them, read with termios2 (which the
// C library's termios.h cannot be included beside).
#pragma once

#include <cstdint>

namespace xoltest {

struct LineReadback {
    bool ok = false;
    uint32_t outputRate = 0;
    bool canonical = true;
    bool echo = true;
    bool outputProcessing = true;
    bool crToNl = true;
    bool parityMarking = true;
    bool ignoreParityErrors = true;
    bool checkParity = true;
    bool local = false;
    bool twoStopBits = false;
};
LineReadback ReadLine(int fd);

} // namespace xoltest
