#include "outputs/modbus_map.h"

#include <algorithm>

#include <xolest/xolest.h>

namespace xolhost {

namespace {

uint16_t Saturated(uint64_t value) {
    return static_cast<uint16_t>(std::min<uint64_t>(value, 0xFFFF));
}

uint16_t ChannelWord(ChannelState channel) {
    switch (channel) {
    case ChannelState::Open:
        return 0;
    case ChannelState::Failing:
        return 1;
    default:
        return 2;
    }
}

} // namespace

void SetScanAge(RegisterImage& image, const SupervisionState& state, WallClock::time_point now) {
    uint64_t age = 0xFFFF;
    if (state.lastCompletedScan) {
        auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(now - *state.lastCompletedScan);
        age = static_cast<uint64_t>(std::max<int64_t>(seconds.count(), 0));
    }
    image[MB_SCAN_AGE] = Saturated(age);
}

void FillRegisters(RegisterImage& image, const FedState& fed, WallClock::time_point now) {
    const SupervisionState& state = fed.state;
    image.fill(0);
    for (int zone = 1; zone <= ZONE_COUNT; ++zone) {
        image[static_cast<std::size_t>(zone)] = state.stale ? MB_ZONE_STALE : 0;
    }
    for (const auto& [zone, status] : state.zones) {
        if (zone < 1 || zone > ZONE_COUNT) {
            continue;
        }
        uint16_t& word = image[static_cast<std::size_t>(zone)];
        word = static_cast<uint16_t>(word | (status & 0xFF));
        // A status held through a scan that lost records is not confirmed.
        auto confirmed = state.confirmedAt.find(zone);
        if (state.lastCompletedScan && (confirmed == state.confirmedAt.end() ||
                                        confirmed->second < *state.lastCompletedScan)) {
            word |= MB_ZONE_STALE;
        }
    }
    for (int zone : fed.unacknowledgedZones) {
        if (zone >= 1 && zone <= ZONE_COUNT) {
            image[static_cast<std::size_t>(zone)] |= MB_ZONE_UNACKNOWLEDGED;
        }
    }
    image[MB_LINE_STATE] = ChannelWord(state.channel);
    auto count = [&](char which) {
        auto found = state.counts.find(which);
        return found == state.counts.end() ? MB_COUNT_UNKNOWN : found->second;
    };
    image[MB_COUNT_C] = count('C');
    image[MB_COUNT_N] = count('N');
    SetScanAge(image, state, now);
    image[MB_SCANS] = static_cast<uint16_t>(state.scans & 0xFFFF);
    image[MB_UNACKNOWLEDGED] = Saturated(state.unacknowledged.size());
}

int JudgeRequest(std::span<const uint8_t> pdu) {
    if (pdu.empty()) {
        return MB_MALFORMED;
    }
    const uint8_t function = pdu[0];
    if (function != 0x03 && function != 0x04) {
        return MB_ILLEGAL_FUNCTION;
    }
    if (pdu.size() != 5) {
        return MB_MALFORMED;
    }
    const int start = (pdu[1] << 8) | pdu[2];
    const int quantity = (pdu[3] << 8) | pdu[4];
    if (quantity < 1 || quantity > MB_MAX_READ) {
        return MB_ILLEGAL_VALUE;
    }
    const int last = start + quantity - 1;
    const bool zones = start >= 1 && last <= ZONE_COUNT;
    const bool line = start >= MB_LINE_STATE && last <= MB_LAST_ADDRESS;
    return zones || line ? 0 : MB_ILLEGAL_ADDRESS;
}

} // namespace xolhost
