#include "support/pty_line.h"

#include <sys/ioctl.h>

#include <asm/termbits.h>

namespace xoltest {

LineReadback ReadLine(int fd) {
    LineReadback line;
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return line;
    }
    line.ok = true;
    line.outputRate = tio.c_ospeed;
    line.canonical = (tio.c_lflag & ICANON) != 0;
    line.echo = (tio.c_lflag & ECHO) != 0;
    line.outputProcessing = (tio.c_oflag & OPOST) != 0;
    line.crToNl = (tio.c_iflag & ICRNL) != 0;
    line.parityMarking = (tio.c_iflag & PARMRK) != 0;
    line.ignoreParityErrors = (tio.c_iflag & IGNPAR) != 0;
    line.checkParity = (tio.c_iflag & INPCK) != 0;
    line.local = (tio.c_cflag & CLOCAL) != 0;
    line.twoStopBits = (tio.c_cflag & CSTOPB) != 0;
    return line;
}

} // namespace xoltest
