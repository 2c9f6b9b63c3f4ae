// Checksum checks and decimal fields on frames of every length: reading stays
// inside the bytes given (ASan sees the exact-size buffer), and a field with
// no digit never yields a number.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "protocol/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto frame = std::make_unique<uint8_t[]>(size);
    std::memcpy(frame.get(), data, size);
    const auto length = static_cast<uint32_t>(size);

    if (xol::CisVerify(frame.get(), length)) {
        // A verified frame of usable length has two hex digits where its checksum is.
        const uint32_t n = length % 256;
        if (n < 3 || std::memchr("0123456789ABCDEFabcdef", frame[n - 3], 22) == nullptr) {
            std::abort();
        }
    }
    (void)xol::CisChecksum(frame.get(), length);

    const uint32_t width = length < xol::CIS_DECIMAL_MAX_WIDTH ? length : 4;
    int32_t value = 0x7777;
    if (xol::CisReadDecimal(frame.get(), width, &value)) {
        bool digit = false;
        for (uint32_t i = 0; i < width; ++i) {
            digit = digit || (frame[i] >= '0' && frame[i] <= '9');
        }
        if (!digit) {
            std::abort();
        }
    } else if (value != 0x7777) {
        std::abort();
    }
    return 0;
}
