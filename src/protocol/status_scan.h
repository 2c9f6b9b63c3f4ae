// The status scan: rebuilds the zone tables from the panel's status records.
#pragma once

#include <cstdint>

namespace xol {

constexpr uint32_t STATUS_RECORD_LENGTH = 14;

// RC_DONE when the end reply arrived and the snapshot was published,
// RC_FAILED after three attempts without it.
int32_t StatusScan();
// Folds one verified, legal record into the current table (or logs an
// illegal zone number).
void ApplyStatusRecord(const uint8_t* record);

} // namespace xol
