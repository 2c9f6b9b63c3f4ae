#include "core/zone_table.h"

#include <algorithm>
#include <iterator>

#include "core/context.h"

namespace xol {

// Zone z lives in slot z-1 of both tables; there is no zone 0.

void ClearCurrentZones() {
    DriverContext* context = CurrentContext();
    if (context != nullptr) {
        std::fill(std::begin(context->currentZones), std::end(context->currentZones), 0);
    }
}

void SetZoneBits(uint16_t zone, uint8_t bits) {
    DriverContext* context = CurrentContext();
    if (context == nullptr || zone == 0 || zone > ZONE_COUNT) {
        return;
    }
    context->currentZones[zone - 1] |= bits;
}

void PublishZones() {
    DriverContext* context = CurrentContext();
    if (context != nullptr) {
        std::copy(std::begin(context->currentZones), std::end(context->currentZones),
                  std::begin(context->snapshotZones));
    }
}

uint16_t ReadZone(uint16_t zone) {
    const DriverContext* context = CurrentContext();
    // Zones above ZONE_COUNT have no slot: they read as "no status".
    if (context == nullptr || zone == 0 || zone > ZONE_COUNT) {
        return 0;
    }
    return context->snapshotZones[zone - 1];
}

} // namespace xol
