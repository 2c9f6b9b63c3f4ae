// The status scan: rebuilds the zone tables from the panel's status records.
#pragma once

#include <array>
#include <cstdint>
#include <xolest/xolest.h>

namespace xol {

constexpr uint32_t STATUS_RECORD_LENGTH = 14;
// One status record as it arrives: a checksummed CIS frame of 14 bytes.
using StatusRecord = std::array<uint8_t, STATUS_RECORD_LENGTH>;
constexpr uint32_t STATUS_SCAN_ATTEMPTS = 3;
// A line that keeps sending records must not hold the host's thread for
// ever: an attempt that reaches this many records fails like a silent one.
constexpr uint32_t STATUS_SCAN_RECORD_LIMIT = 8 * ZONE_COUNT;
// Nor must a line that delivers nothing but garbage: an attempt that reads
// this many damaged records in a row fails like a silent one.
constexpr uint32_t STATUS_SCAN_BAD_RECORD_LIMIT = XOL_SCAN_BAD_RECORD_LIMIT;

// RC_DONE when the end reply arrived and the snapshot was published,
// RC_FAILED after three attempts without it.
[[nodiscard]] int32_t StatusScan();
// Folds one verified, legal record into the current table (or logs an
// illegal zone number). False when the record is damaged: not framed by '@'
// and CR, or failing its checksum.
bool ApplyStatusRecord(const uint8_t* record);

} // namespace xol
