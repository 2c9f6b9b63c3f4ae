// The port layer on Linux: serial ports through termios2, standing in for
// the Win32 communications calls.
//
// - A name that does not start with '/' is opened under /dev/ ("ttyUSB0" is
//   /dev/ttyUSB0, "pts/3" is /dev/pts/3); "NUL" opens /dev/null, which takes
//   no configuration and is not locked (every process shares it).
// - Opens are exclusive: TIOCEXCL keeps out other opens by ordinary users,
//   and an flock on the open file keeps out everyone else, root included.
// - Termios has no per-port read time-out of its own, so each open port's
//   time-out record lives in a small fixed table here; reads wait with
//   poll() against a monotonic deadline.
// - A read that wants fewer bytes than the table's read-ahead buffer takes
//   whatever the line has (up to the buffer's size) in one call and hands
//   out only the bytes asked for; the rest count as waiting input, are
//   handed out first by the next read, and go with the purge and the close.
// - Settings this layer cannot give a line as Win32 would (DTR/DSR handshake,
//   RTS toggle, error-character replacement, NUL stripping, abort on error,
//   one and a half stop bits, inter-byte and write time-outs) are refused
//   rather than quietly approximated.
#include "serial/port.h"

#include <sys/ioctl.h>

#include <asm/termbits.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace xol {

namespace {

constexpr size_t MAX_PORTS = 32;
// A handle is generation * HANDLE_SLOTS + slot + 1: never 0, and a handle
// kept after its port was closed never reaches the slot's next port.
constexpr uint32_t HANDLE_SLOTS = 64;
static_assert(MAX_PORTS < HANDLE_SLOTS);

// The line discipline's input buffer holds 4095 bytes; the 1200-byte queues
// the module asks for fit in it.
constexpr uint32_t TTY_QUEUE_BYTES = 4095;

enum class SlotState : uint8_t { Free, Open, CloseFailed };

// A line whose state was never set is taken as 9600 bit/s, 8N1.
constexpr uint32_t DEFAULT_BIT_RATE = 9600;
constexpr uint32_t DEFAULT_BITS_PER_CHARACTER = 10;

// A write may take its bytes' time on the line, plus the read time-out (1 s
// when reads wait without limit), plus this margin.
constexpr uint64_t WRITE_MARGIN_MS = 100;
constexpr uint64_t UNLIMITED_READ_STANDS_FOR_MS = 1000;

// Enough for any reply the panel sends (14 bytes at most), so a reply that
// has arrived whole is taken with one read.
constexpr uint32_t READ_AHEAD_BYTES = 64;

struct PortSlot {
    SlotState state = SlotState::Free;
    int fd = -1;
    bool terminal = false;  // a tty: takes line state, time-outs and breaks
    bool exclusive = false; // we set TIOCEXCL and hold the flock
    uint32_t generation = 0;
    PortTimeouts timeouts{}; // all 0: reads wait without limit
    // The line's pace as last set, for the time a write may take.
    uint32_t bitRate = DEFAULT_BIT_RATE;
    uint32_t bitsPerCharacter = DEFAULT_BITS_PER_CHARACTER;
    // Bytes taken from the line and not yet handed out: ahead[aheadStart..aheadEnd).
    uint32_t aheadStart = 0;
    uint32_t aheadEnd = 0;
    unsigned char ahead[READ_AHEAD_BYTES];
};

PortSlot g_ports[MAX_PORTS];

PortHandle HandleOf(size_t slot) {
    return g_ports[slot].generation * HANDLE_SLOTS + static_cast<uint32_t>(slot) + 1;
}

PortSlot* Find(PortHandle port, SlotState wanted = SlotState::Open) {
    const uint32_t index = port % HANDLE_SLOTS;
    if (index == 0 || index > MAX_PORTS) {
        return nullptr;
    }
    PortSlot& slot = g_ports[index - 1];
    if (slot.state != wanted || HandleOf(index - 1) != port) {
        return nullptr;
    }
    return &slot;
}

PortSlot* FindTerminal(PortHandle port) {
    PortSlot* slot = Find(port);
    if (slot != nullptr && !slot->terminal) {
        errno = ENOTTY;
        return nullptr;
    }
    return slot;
}

// Optional ioctls: devices without modem lines or exclusivity (a
// pseudo-terminal, /dev/null) answer ENOTTY or EINVAL, which is no failure.
bool OptionalIoctl(int fd, unsigned long request, const void* arg = nullptr) {
    if (ioctl(fd, request, arg) == 0) {
        return true;
    }
    return errno == ENOTTY || errno == EINVAL;
}

void CloseQuietly(int fd) {
    const int saved = errno;
    (void)close(fd);
    errno = saved;
}

bool BuildPath(const char* name, char* path, size_t size) {
    const char* prefix = "/dev/";
    if (std::strcmp(name, "NUL") == 0) {
        name = "/dev/null";
    }
    if (name[0] == '/') {
        prefix = "";
    }
    const size_t prefixLength = std::strlen(prefix);
    const size_t nameLength = std::strlen(name);
    if (nameLength == 0 || prefixLength + nameLength >= size) {
        errno = nameLength == 0 ? ENOENT : ENAMETOOLONG;
        return false;
    }
    std::memcpy(path, prefix, prefixLength);
    std::memcpy(path + prefixLength, name, nameLength + 1);
    return true;
}

struct RateCode {
    uint32_t rate;
    tcflag_t code;
};

// The standard rates by their own codes, which every driver knows; any other
// rate goes through BOTHER.
constexpr RateCode STANDARD_RATES[] = {
    {50, B50},       {75, B75},         {110, B110},   {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200},
};

tcflag_t RateCodeFor(uint32_t rate) {
    for (const RateCode& entry : STANDARD_RATES) {
        if (entry.rate == rate) {
            return entry.code;
        }
    }
    return BOTHER;
}

// What termios2 cannot express the way the Win32 line state means it.
bool LineStateSupported(const PortLineState& state) {
    if (state.baudRate == 0 || state.byteSize < 5 || state.byteSize > 8 || state.parity > 4) {
        return false;
    }
    if (state.stopBits != 0 && state.stopBits != 2) {
        return false; // one and a half stop bits, or a code that means nothing
    }
    // Hardware flow control exists only as RTS/CTS both ways.
    const bool rtsCts = state.rtsControl == PORT_RTS_HANDSHAKE;
    if (rtsCts != state.outxCtsFlow) {
        return false;
    }
    if (state.rtsControl == PORT_RTS_TOGGLE || state.dtrControl == PORT_DTR_HANDSHAKE ||
        state.outxDsrFlow || state.dsrSensitivity) {
        return false;
    }
    return state.binary && !state.errorCharReplace && !state.discardNull && !state.abortOnError;
}

// Drives one modem line on or off; a line under handshake is left to it.
bool DriveLine(int fd, int line, bool on) {
    const int bits = line;
    return OptionalIoctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

// DTR and RTS as the line state asks, unless a handshake drives them.
bool DriveModemLines(int fd, const PortLineState& state) {
    if (state.dtrControl != PORT_DTR_HANDSHAKE &&
        !DriveLine(fd, TIOCM_DTR, state.dtrControl == PORT_DTR_ENABLE)) {
        return false;
    }
    return state.rtsControl == PORT_RTS_HANDSHAKE ||
           DriveLine(fd, TIOCM_RTS, state.rtsControl == PORT_RTS_ENABLE);
}

// Raw bytes both ways. Parity and framing errors are not checked here (no
// INPCK): such bytes pass on unchanged, as the Win32 line does with no error
// character and no abort on error. Nothing is dropped (no IGNPAR), marked (no
// PARMRK) or stripped to 7 bits. XON/XOFF only as the line state asks.
void SetRawBytes(termios2& tio, const PortLineState& state) {
    tio.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                               ICRNL | IUCLC | IXON | IXOFF | IXANY | IMAXBEL);
    if (state.outX) {
        tio.c_iflag |= IXON;
    }
    if (state.inX) {
        tio.c_iflag |= IXOFF;
    }
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

// The parity codes of the line state (0 none, 1 odd, 2 even, 3 mark, 4 space).
tcflag_t ParityFlags(uint8_t parity) {
    switch (parity) {
    case 1:
        return PARENB | PARODD;
    case 2:
        return PARENB;
    case 3:
        return PARENB | CMSPAR | PARODD;
    case 4:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

// Character size, stop bits, parity, RTS/CTS and the rate.
void SetFraming(termios2& tio, const PortLineState& state) {
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS |
                                          CBAUD | (CBAUD << IBSHIFT));
    constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= SIZES[state.byteSize - 5] | CREAD | CLOCAL;
    if (state.stopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    tio.c_cflag |= ParityFlags(state.parity);
    if (state.outxCtsFlow) {
        tio.c_cflag |= CRTSCTS;
    }
    // Input speed follows the output speed (CIBAUD left 0).
    tio.c_cflag |= RateCodeFor(state.baudRate);
    tio.c_ispeed = state.baudRate;
    tio.c_ospeed = state.baudRate;
}

// Start bit, data bits, parity bit, stop bits.
uint32_t BitsPerCharacter(const PortLineState& state) {
    return 1u + state.byteSize + (state.parity != 0 ? 1u : 0u) + (state.stopBits == 2 ? 2u : 1u);
}

using Clock = std::chrono::steady_clock;

// Milliseconds for poll(), rounded up so that a wait never ends early.
int PollMs(Clock::duration left) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

uint32_t AheadCount(const PortSlot& slot) {
    return slot.aheadEnd - slot.aheadStart;
}

void DropAhead(PortSlot& slot) {
    slot.aheadStart = 0;
    slot.aheadEnd = 0;
}

// Hands out up to `count` bytes read ahead; returns how many.
uint32_t TakeAhead(PortSlot& slot, unsigned char* bytes, uint32_t count) {
    const uint32_t n = count < AheadCount(slot) ? count : AheadCount(slot);
    std::memcpy(bytes, slot.ahead + slot.aheadStart, n);
    slot.aheadStart += n;
    if (slot.aheadStart == slot.aheadEnd) {
        DropAhead(slot);
    }
    return n;
}

// One read() from the line for a caller that wants `count` more bytes: into
// the read-ahead buffer when the caller wants less than it holds, straight
// into the caller's buffer otherwise. Returns what read() returned, with the
// bytes handed to the caller in place of the bytes read.
ssize_t ReadFromLine(PortSlot& slot, unsigned char* bytes, uint32_t count) {
    if (count >= READ_AHEAD_BYTES) {
        return read(slot.fd, bytes, count);
    }
    const ssize_t n = read(slot.fd, slot.ahead, READ_AHEAD_BYTES);
    if (n <= 0) {
        return n;
    }
    slot.aheadStart = 0;
    slot.aheadEnd = static_cast<uint32_t>(n);
    return static_cast<ssize_t>(TakeAhead(slot, bytes, count));
}

// What one wait and read of PortRead leaves to do.
enum class ReadStep : uint8_t {
    Again,  // nothing, or not all, has come yet: wait and read again
    Ended,  // the time-out ran out, or the other end has gone
    Failed, // poll() or read() failed
};

// The wait left until the deadline, for poll(). Once the time is up, a wait
// of 0 still finds bytes already there.
int WaitMsLeft(Clock::time_point deadline, Clock::time_point now) {
    const Clock::duration left = deadline - now;
    return left > Clock::duration::zero() ? PollMs(left) : 0;
}

// Waits up to waitMs (-1: without limit) for the line, then reads once into
// bytes[*total..count), adding what came to *total.
ReadStep WaitAndRead(PortSlot& slot, unsigned char* bytes, uint32_t count, uint32_t* total,
                     int waitMs, Clock::time_point deadline) {
    pollfd waitFor{slot.fd, POLLIN, 0};
    const int ready = poll(&waitFor, 1, waitMs);
    if (ready < 0) {
        // A signal ends the wait early; the caller goes on with the time left.
        return errno == EINTR ? ReadStep::Again : ReadStep::Failed;
    }
    if (ready == 0) {
        return Clock::now() >= deadline ? ReadStep::Ended : ReadStep::Again;
    }
    // Bytes, a hang-up or an error: the read tells which.
    const ssize_t n = ReadFromLine(slot, bytes + *total, count - *total);
    if (n > 0) {
        *total += static_cast<uint32_t>(n);
        return ReadStep::Again;
    }
    if (n == 0) {
        return ReadStep::Ended; // end of file: nothing more will come
    }
    return errno == EINTR || errno == EAGAIN ? ReadStep::Again : ReadStep::Failed;
}

} // namespace

bool PortOpen(const char* name, PortHandle* port) {
    *port = 0;
    if (name == nullptr) {
        errno = EINVAL;
        return false;
    }
    size_t free = MAX_PORTS;
    for (size_t i = 0; i < MAX_PORTS && free == MAX_PORTS; ++i) {
        if (g_ports[i].state == SlotState::Free) {
            free = i;
        }
    }
    if (free == MAX_PORTS) {
        errno = EMFILE;
        return false;
    }
    char path[PATH_MAX];
    if (!BuildPath(name, path, sizeof path)) {
        return false;
    }
    const bool nullDevice = std::strcmp(name, "NUL") == 0;

    // Non-blocking, so that the open never waits for a carrier; reads and
    // writes wait with poll() instead.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    PortSlot& slot = g_ports[free];
    slot.fd = fd;
    slot.terminal = isatty(fd) == 1;
    slot.exclusive = false;
    slot.timeouts = PortTimeouts{};
    DropAhead(slot);
    if (!nullDevice) {
        // Whoever lost the lock leaves TIOCEXCL alone: it belongs to the holder.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            CloseQuietly(fd);
            slot.fd = -1;
            return false;
        }
        if (slot.terminal && !OptionalIoctl(fd, TIOCEXCL)) {
            CloseQuietly(fd);
            slot.fd = -1;
            return false;
        }
        slot.exclusive = true;
    }
    slot.state = SlotState::Open;
    ++slot.generation;
    *port = HandleOf(free);
    return true;
}

bool PortClose(PortHandle port) {
    // The descriptor of a close that failed is gone already; the retry only
    // frees its slot.
    if (PortSlot* failed = Find(port, SlotState::CloseFailed)) {
        failed->state = SlotState::Free;
        return true;
    }
    PortSlot* slot = Find(port);
    if (slot == nullptr) {
        errno = EBADF;
        return false;
    }
    // Release exclusivity, or a later open by an ordinary user fails while any
    // other descriptor keeps the device open.
    if (slot->exclusive && slot->terminal) {
        (void)OptionalIoctl(slot->fd, TIOCNXCL);
    }
    const int fd = slot->fd;
    slot->fd = -1;
    DropAhead(*slot); // read ahead from this port: never handed to another
    // Linux releases the descriptor even when close() reports an error.
    if (close(fd) != 0 && errno != EINTR) {
        slot->state = SlotState::CloseFailed;
        return false;
    }
    slot->state = SlotState::Free;
    return true;
}

bool PortGetState(PortHandle port, PortLineState* state) {
    const PortSlot* slot = FindTerminal(port);
    if (slot == nullptr) {
        return false;
    }
    termios2 tio{};
    if (ioctl(slot->fd, TCGETS2, &tio) != 0) {
        return false;
    }
    *state = PortLineState{};
    state->baudRate = tio.c_ospeed;
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        state->byteSize = 5;
        break;
    case CS6:
        state->byteSize = 6;
        break;
    case CS7:
        state->byteSize = 7;
        break;
    default:
        state->byteSize = 8;
        break;
    }
    if ((tio.c_cflag & PARENB) == 0) {
        state->parity = 0;
    } else if ((tio.c_cflag & CMSPAR) != 0) {
        state->parity = (tio.c_cflag & PARODD) != 0 ? 3 : 4;
    } else {
        state->parity = (tio.c_cflag & PARODD) != 0 ? 1 : 2;
    }
    state->stopBits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 0;
    state->binary = true;
    state->parityCheck = (tio.c_iflag & INPCK) != 0;
    state->outxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    state->rtsControl = state->outxCtsFlow ? PORT_RTS_HANDSHAKE : PORT_RTS_DISABLE;
    state->dtrControl = PORT_DTR_DISABLE;
    int lines = 0;
    if (ioctl(slot->fd, TIOCMGET, &lines) == 0) {
        state->dtrControl = (lines & TIOCM_DTR) != 0 ? PORT_DTR_ENABLE : PORT_DTR_DISABLE;
        if (!state->outxCtsFlow && (lines & TIOCM_RTS) != 0) {
            state->rtsControl = PORT_RTS_ENABLE;
        }
    }
    state->outX = (tio.c_iflag & IXON) != 0;
    state->inX = (tio.c_iflag & IXOFF) != 0;
    state->errorCharReplace = (tio.c_iflag & (INPCK | PARMRK)) == INPCK;
    state->discardNull = false;
    state->abortOnError = false;
    state->errorChar = 0;
    return true;
}

bool PortSetState(PortHandle port, const PortLineState& state) {
    PortSlot* slot = FindTerminal(port);
    if (slot == nullptr) {
        return false;
    }
    if (!LineStateSupported(state)) {
        errno = EINVAL;
        return false;
    }
    // Start from the line's own settings so that whatever is not named here
    // (control characters, the line discipline) stays as it was.
    termios2 tio{};
    if (ioctl(slot->fd, TCGETS2, &tio) != 0) {
        return false;
    }
    SetRawBytes(tio, state);
    SetFraming(tio, state);
    // Set directly and never judged by reading back: a pseudo-terminal
    // accepts parity and then reports none.
    if (ioctl(slot->fd, TCSETS2, &tio) != 0) {
        return false;
    }
    if (!DriveModemLines(slot->fd, state)) {
        return false;
    }
    slot->bitRate = state.baudRate;
    slot->bitsPerCharacter = BitsPerCharacter(state);
    return true;
}

bool PortGetTimeouts(PortHandle port, PortTimeouts* timeouts) {
    const PortSlot* slot = FindTerminal(port);
    if (slot == nullptr) {
        return false;
    }
    *timeouts = slot->timeouts;
    return true;
}

bool PortSetTimeouts(PortHandle port, const PortTimeouts& timeouts) {
    PortSlot* slot = FindTerminal(port);
    if (slot == nullptr) {
        return false;
    }
    // Reads have a total time-out only, and writes none.
    if (timeouts.readIntervalTimeout != 0 || timeouts.writeTotalTimeoutMultiplier != 0 ||
        timeouts.writeTotalTimeoutConstant != 0) {
        errno = EINVAL;
        return false;
    }
    slot->timeouts = timeouts;
    return true;
}

bool PortSetQueues(PortHandle port, uint32_t inputBytes, uint32_t outputBytes) {
    // The tty's buffers have a fixed size; a request that fits is met.
    if (FindTerminal(port) == nullptr) {
        return false;
    }
    if (inputBytes > TTY_QUEUE_BYTES || outputBytes > TTY_QUEUE_BYTES) {
        errno = EINVAL;
        return false;
    }
    return true;
}

bool PortInputWaiting(PortHandle port, uint32_t* count) {
    const PortSlot* slot = Find(port);
    if (slot == nullptr) {
        errno = EBADF;
        return false;
    }
    int waiting = 0;
    if (ioctl(slot->fd, FIONREAD, &waiting) != 0) {
        return false;
    }
    *count = AheadCount(*slot) + (waiting > 0 ? static_cast<uint32_t>(waiting) : 0);
    return true;
}

bool PortRead(PortHandle port, void* buffer, uint32_t count, uint32_t* got) {
    *got = 0;
    PortSlot* slot = Find(port);
    if (slot == nullptr) {
        errno = EBADF;
        return false;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    uint32_t total = TakeAhead(*slot, bytes, count);
    // One total time-out for the whole read, as the Win32 port counts it;
    // all 0 is no limit.
    const uint64_t totalMs = uint64_t{slot->timeouts.readTotalTimeoutMultiplier} * count +
                             slot->timeouts.readTotalTimeoutConstant;
    const bool limited = totalMs != 0;
    Clock::time_point now = total < count ? Clock::now() : Clock::time_point{};
    const Clock::time_point deadline = now + std::chrono::milliseconds(totalMs);
    ReadStep step = ReadStep::Again;
    for (bool first = true; total < count && step == ReadStep::Again; first = false) {
        // Wait before reading: a reply is seldom there the moment it is asked
        // for, and a read tried first would mostly fail and cost a call.
        int waitMs = -1;
        if (limited) {
            if (!first) {
                now = Clock::now();
            }
            waitMs = WaitMsLeft(deadline, now);
        }
        step = WaitAndRead(*slot, bytes, count, &total, waitMs, deadline);
    }
    *got = total;
    return step != ReadStep::Failed;
}

// How long a write of `count` bytes may wait for the line to take them. A
// far end that stops reading (a pseudo-terminal, a network bridge) would
// otherwise hold the caller for ever.
uint64_t WriteLimitMs(const PortSlot& slot, uint32_t count) {
    const uint64_t lineMs =
        (uint64_t{count} * slot.bitsPerCharacter * 1000 + slot.bitRate - 1) / slot.bitRate;
    const uint64_t readMs = slot.timeouts.readTotalTimeoutConstant != 0
                                ? slot.timeouts.readTotalTimeoutConstant
                                : UNLIMITED_READ_STANDS_FOR_MS;
    return lineMs + readMs + WRITE_MARGIN_MS;
}

bool PortWrite(PortHandle port, const void* buffer, uint32_t count, uint32_t* written) {
    *written = 0;
    const PortSlot* slot = Find(port);
    if (slot == nullptr) {
        errno = EBADF;
        return false;
    }
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(WriteLimitMs(*slot, count));
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    uint32_t total = 0;
    while (total < count) {
        const ssize_t n = write(slot->fd, bytes + total, count - total);
        if (n > 0) {
            total += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            const Clock::duration left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                // The line stopped taking bytes: what is still queued would
                // reach the panel out of turn, so it is dropped.
                if (slot->terminal) {
                    (void)ioctl(slot->fd, TCFLSH, TCOFLUSH);
                }
                *written = total;
                return true;
            }
            pollfd waitFor{slot->fd, POLLOUT, 0};
            if (poll(&waitFor, 1, PollMs(left)) < 0 && errno != EINTR) {
                break;
            }
            continue;
        }
        break;
    }
    *written = total;
    // Bytes already handed over are reported as a short write, not lost in a
    // failure.
    return total == count || total > 0;
}

bool PortBreakOn(PortHandle port) {
    const PortSlot* slot = FindTerminal(port);
    return slot != nullptr && ioctl(slot->fd, TIOCSBRK) == 0;
}

bool PortBreakOff(PortHandle port) {
    const PortSlot* slot = FindTerminal(port);
    return slot != nullptr && ioctl(slot->fd, TIOCCBRK) == 0;
}

void PortSleep(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace xol
