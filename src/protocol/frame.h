// The CIS frame layer: checksum, verification, send on an emptied input
// queue and receive in exact counts, on the current context's port.
#pragma once

#include <cstdint>

namespace xol {

// Sum of the body bytes (positions 1 to n-4) modulo 256; 0 when n mod 256 < 5.
uint8_t CisChecksum(const uint8_t* frame, uint32_t length);
// True when the two hex digits at n-3, n-2 match the body's checksum. A field
// that does not start with a hex digit never matches.
[[nodiscard]] bool CisVerify(const uint8_t* frame, uint32_t length);
// Every frame begins with '@' and ends with CR.
constexpr uint8_t CIS_FRAME_START = '@';
constexpr uint8_t CIS_FRAME_END = '\r';
// True when a received frame of `length` bytes begins with '@' and ends with
// CR. Replies are read in exact counts, so noise before a reply shifts the
// read; a one-byte checksum lets one such read in 256 through, the frame's
// first and last bytes do not. Every reply is checked here before it is used.
[[nodiscard]] bool CisFramed(const uint8_t* frame, uint32_t length);
// Discards pending input, then writes the whole frame. False without a port.
bool CisSend(const void* frame, uint32_t length);
// Reads exactly length bytes (1 to 65535). False without a port.
[[nodiscard]] bool CisReceive(void* buffer, uint32_t length);

// Reads a decimal number from a fixed-width field of a received frame, the
// way the panel writes it: leading white space, an optional sign, digits.
// Nothing past the field's width is looked at. False when the field holds
// no digit, or is wider than CIS_DECIMAL_MAX_WIDTH; *value is then left alone.
constexpr uint32_t CIS_DECIMAL_MAX_WIDTH = 9; // nine digits always fit an int32_t
[[nodiscard]] bool CisReadDecimal(const uint8_t* field, uint32_t width, int32_t* value);

} // namespace xol
