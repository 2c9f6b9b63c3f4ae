// The Modbus TCP register map: one word per zone, then the line's words.
// Holding and input registers hold the same words, by protocol address.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "outputs/output_feed.h"

namespace xolhost {

// Addresses 1..ZONE_COUNT: zone N. Its low byte: the status bits as the
// driver reports them.
constexpr uint16_t MB_ZONE_STALE = 0x8000;          // not confirmed by the last scan
constexpr uint16_t MB_ZONE_UNACKNOWLEDGED = 0x4000; // an event of the zone waits
// Addresses from here on: the line.
constexpr int MB_LINE_STATE = 7001; // 0 open, 1 failing, 2 closed
constexpr int MB_COUNT_C = 7002;    // 0xFFFF: not read yet
constexpr int MB_COUNT_N = 7003;
constexpr int MB_SCAN_AGE = 7004; // seconds since the last completed scan, saturating
constexpr int MB_SCANS = 7005;    // completed scans, wrapping
constexpr int MB_UNACKNOWLEDGED = 7006;
constexpr int MB_LAST_ADDRESS = MB_UNACKNOWLEDGED;
constexpr uint16_t MB_COUNT_UNKNOWN = 0xFFFF;
constexpr int MB_MAX_READ = 125; // registers in one read

// Modbus exception codes.
constexpr uint8_t MB_ILLEGAL_FUNCTION = 0x01;
constexpr uint8_t MB_ILLEGAL_ADDRESS = 0x02;
constexpr uint8_t MB_ILLEGAL_VALUE = 0x03;
// A request whose length does not fit its function: the client is dropped.
constexpr int MB_MALFORMED = -1;

using RegisterImage = std::array<uint16_t, MB_LAST_ADDRESS + 1>;

// The words of a step's state; the scan's age as of `now`.
void FillRegisters(RegisterImage& image, const FedState& fed, WallClock::time_point now);
// The age word alone, for reads between steps.
void SetScanAge(RegisterImage& image, const SupervisionState& state, WallClock::time_point now);

// How a request's PDU (function code first) is answered: 0 served from the
// map, an exception code, or MB_MALFORMED. Only reads of holding (03) and
// input (04) registers are served; the map takes no writes.
int JudgeRequest(std::span<const uint8_t> pdu);

} // namespace xolhost
