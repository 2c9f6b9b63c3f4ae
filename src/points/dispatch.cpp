#include "points/dispatch.h"

#include "core/zone_table.h"
#include "protocol/control_command.h"
#include "protocol/count_query.h"
#include "protocol/status_scan.h"

namespace xol {

namespace {

const PointRequest& Params(const DriverRequest& request) {
    return *static_cast<const PointRequest*>(request.params);
}

PointValue* Value(const PointRequest& point) {
    return static_cast<PointValue*>(point.data);
}

// Zone numbers at the read interface are 16 bits: a host may keep flags in
// the upper bits of a point's number.
constexpr uint32_t ZoneNumber(uint32_t number) {
    return number & 0xFFFFu;
}

// A zone's snapshot status. Numbers past the last zone (a block running past
// it) read as "no status" rather than wrapping onto a low zone.
uint16_t ZoneStatus(uint64_t zone) {
    return zone > ZONE_COUNT ? 0 : ReadZone(static_cast<uint16_t>(zone));
}

} // namespace

// Kinds are compared on the whole 32-bit field: a letter with anything in the
// upper bytes is no kind.

int32_t ReadPoint(const DriverRequest& request) {
    const PointRequest& point = Params(request);
    switch (point.kind) {
    case PK_ZONE:
    case PK_SCAN:
    case PK_COUNT_C:
    case PK_COUNT_N:
        break;
    default:
        return RC_REFUSED;
    }
    PointValue* value = Value(point);
    if (value == nullptr) {
        return RC_REFUSED;
    }
    switch (point.kind) {
    case PK_ZONE:
        value->value = ZoneStatus(ZoneNumber(point.number));
        return RC_DONE;
    case PK_SCAN: {
        const int32_t result = StatusScan();
        value->value = 0;
        return result;
    }
    default:
        return RunCountQuery(point);
    }
}

int32_t ReadBlock(const DriverRequest& request) {
    const PointRequest& point = Params(request);
    if (point.kind != PK_ZONE) {
        return RC_REFUSED;
    }
    if (point.count <= 0) {
        return RC_DONE;
    }
    auto* words = static_cast<uint16_t*>(point.data);
    if (words == nullptr) {
        return RC_REFUSED;
    }
    // Counted in 64 bits so that a block near the top of the 16-bit range
    // never wraps back onto low zones.
    const uint64_t first = ZoneNumber(point.number);
    for (uint64_t i = 0; i < static_cast<uint64_t>(point.count); ++i) {
        words[i] = ZoneStatus(first + i);
    }
    return RC_DONE;
}

int32_t WritePoint(const DriverRequest& request) {
    const PointRequest& point = Params(request);
    switch (point.kind) {
    case PK_CONTROL_A:
    case PK_CONTROL_L:
    case PK_GROUP_ZONE:
    case PK_CONTROL_Q:
    case PK_CONTROL_T:
    case PK_CONTROL_X:
        return SendTemplateCommand(point);
    case PK_SYSTEM_D:
    case PK_SYSTEM_R:
    case PK_SYSTEM_S:
        return SendLetterCommand(point.kind);
    case PK_SCAN:
        return StatusScan();
    default:
        return RC_REFUSED;
    }
}

} // namespace xol
