// Whatever a panel (or a noisy line) answers, every panel exchange ends with
// one of the three result codes, writes only what it may, and never touches
// a byte outside the context's tables or the point's value.
//
// Input: one byte choosing the operation, then replies, each a length byte
// (0..31) followed by that many bytes, released one per write of the driver.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include <xolest/xolest.h>

#include "support/fake_port.h"

namespace {

struct GuardedContext {
    DriverContext context;
    std::array<uint8_t, 64> guard;
};

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    namespace fake = xol::fake;
    fake::Reset();

    auto block = std::make_unique<GuardedContext>();
    std::memset(block.get(), 0, sizeof *block);
    std::memset(block->guard.data(), 0xA5, block->guard.size());
    DriverContext& context = block->context;
    std::memset(context.snapshotZones, 0x1F, sizeof context.snapshotZones);

    OpenRequest open{};
    std::memcpy(open.name, "ttyFUZZ", 8);
    open.enabled = 1;
    open.timeout = 1;
    open.settings = {2400, 8, 0, 2};
    DriverRequest request{};
    request.context = &context;
    request.function = FC_OPEN_CHANNEL;
    request.params = &open;
    Require(XolMain(&request) == RC_DONE);

    size_t at = 1;
    unsigned write = 0;
    while (at < size) {
        const size_t length = std::min<size_t>(data[at] % 32, size - at - 1);
        fake::QueueReply(std::string_view(reinterpret_cast<const char*>(data + at + 1), length),
                         write++);
        at += 1 + length;
    }

    static constexpr std::array<uint32_t, 8> KINDS{'Z', 'C', 'N', 'L', 'O', 'X', 'S', 'D'};
    const uint32_t kind = KINDS[data[0] % KINDS.size()];
    const bool isWrite = (data[0] / KINDS.size()) % 2 == 1;
    PointValue value{0x1234, static_cast<uint16_t>(data[0] >> 4)};
    PointRequest point{};
    point.kind = kind;
    point.number = kind == 'O' ? ((7u << 16) | 1234u) : 42u;
    point.data = &value;
    request.function = isWrite ? FC_WRITE_POINT : FC_READ_POINT;
    request.params = &point;

    const DriverContext before = context;
    const int32_t result = XolMain(&request);
    Require(result == RC_DONE || result == RC_REFUSED || result == RC_FAILED);
    Require(value.host == 0x1234);
    for (uint8_t b : block->guard) {
        Require(b == 0xA5);
    }
    Require(std::memcmp(&context, &before, offsetof(DriverContext, currentZones)) == 0);
    for (int z = 0; z < ZONE_COUNT; ++z) {
        Require((context.currentZones[z] & ~0x1F) == 0);
        Require((context.snapshotZones[z] & ~0x1F) == 0);
    }
    // The snapshot changes only through a completed scan.
    if (!(kind == 'Z' && result == RC_DONE)) {
        Require(std::memcmp(context.snapshotZones, before.snapshotZones,
                            sizeof context.snapshotZones) == 0);
    }

    request.function = FC_CLOSE_CHANNEL;
    request.params = nullptr;
    Require(XolMain(&request) == RC_DONE);
    return 0;
}
