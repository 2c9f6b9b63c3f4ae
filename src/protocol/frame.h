// The CIS frame layer: checksum, verification, send on an emptied input
// queue and receive in exact counts, on the current context's port.
#pragma once

#include <cstdint>

namespace xol {

// Sum of the body bytes (positions 1 to n-4) modulo 256; 0 when n mod 256 < 5.
uint8_t CisChecksum(const uint8_t* frame, uint32_t length);
// True when the two hex digits at n-3, n-2 match the body's checksum.
[[nodiscard]] bool CisVerify(const uint8_t* frame, uint32_t length);
// Discards pending input, then writes the whole frame.
bool CisSend(const void* frame, uint32_t length);
// Reads exactly length bytes (at most 65535).
[[nodiscard]] bool CisReceive(void* buffer, uint32_t length);

} // namespace xol
