#include "protocol/frame.h"

#include "core/context.h"
#include "serial/serial.h"

namespace xol {

namespace {

// Frame lengths are 8-bit counts for the checksum and its check.
constexpr uint32_t FrameLength(uint32_t length) {
    return length & 0xFFu;
}

constexpr int HexDigitValue(uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

constexpr bool IsSpace(uint8_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

PortHandle CurrentPort() {
    const DriverContext* context = CurrentContext();
    return context == nullptr ? 0 : context->port;
}

} // namespace

uint8_t CisChecksum(const uint8_t* frame, uint32_t length) {
    const uint32_t n = FrameLength(length);
    if (n < 5) {
        return 0;
    }
    uint8_t sum = 0;
    for (uint32_t i = 1; i <= n - 4; ++i) {
        sum = static_cast<uint8_t>(sum + frame[i]);
    }
    return sum;
}

bool CisVerify(const uint8_t* frame, uint32_t length) {
    const uint32_t n = FrameLength(length);
    if (n < 3) {
        return false; // no room for a checksum field
    }
    // One or two hex digits, upper or lower case; the field must start with one.
    const int high = HexDigitValue(frame[n - 3]);
    if (high < 0) {
        return false;
    }
    const int low = HexDigitValue(frame[n - 2]);
    const int field = low < 0 ? high : high * 16 + low;
    return static_cast<uint8_t>(field) == CisChecksum(frame, length);
}

bool CisFramed(const uint8_t* frame, uint32_t length) {
    return length > 0 && frame[0] == CIS_FRAME_START && frame[length - 1] == CIS_FRAME_END;
}

bool CisSend(const void* frame, uint32_t length) {
    const PortHandle port = CurrentPort();
    if (port == 0) {
        return false;
    }
    // Whatever is waiting now (a late answer, noise) must not be read as the
    // answer to this frame.
    (void)SerialPurgeInput(port);
    uint32_t written = 0;
    return SerialWriteExact(port, frame, length, &written) == SERIAL_OK && written == length;
}

bool CisReceive(void* buffer, uint32_t length) {
    const PortHandle port = CurrentPort();
    if (port == 0 || length == 0 || length > 0xFFFFu) {
        return false;
    }
    uint32_t received = 0;
    return SerialReadExact(port, buffer, length, &received) == SERIAL_OK && received == length;
}

bool CisReadDecimal(const uint8_t* field, uint32_t width, int32_t* value) {
    if (width > CIS_DECIMAL_MAX_WIDTH) {
        return false;
    }
    uint32_t i = 0;
    while (i < width && IsSpace(field[i])) {
        ++i;
    }
    bool negative = false;
    if (i < width && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    bool anyDigit = false;
    int32_t number = 0;
    for (; i < width && field[i] >= '0' && field[i] <= '9'; ++i) {
        number = number * 10 + (field[i] - '0');
        anyDigit = true;
    }
    if (!anyDigit) {
        return false;
    }
    *value = negative ? -number : number;
    return true;
}

} // namespace xol
