// The two zone status tables in the current context: the current table a
// scan collects into, and the snapshot every zone read is answered from.
#pragma once

#include <cstdint>
#include <xolest/xolest.h>

namespace xol {

void ClearCurrentZones();
// zone 1..ZONE_COUNT; bits are ORed into the zone's slot of the current table.
void SetZoneBits(uint16_t zone, uint8_t bits);
void PublishZones();
// The zone's snapshot status, zero-extended; 0 for zone 0 and for zones above ZONE_COUNT.
uint16_t ReadZone(uint16_t zone);

} // namespace xol
